#include "bench/BenchReport.hpp"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kelvarin::triggerTesting::bench
{

namespace
{

using Writer = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

std::string format(double value)
{
    char text[32];
    double const magnitude = std::fabs(value);
    if (magnitude >= 1000)
        std::snprintf(text, sizeof text, "%.0f", value);
    else if (magnitude >= 10)
        std::snprintf(text, sizeof text, "%.1f", value);
    else
        std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::string spread(std::vector<double> const &runs)
{
    if (runs.empty())
        return "-";
    auto const [low, high] = std::minmax_element(runs.begin(), runs.end());
    return format(*low) + ".." + format(*high);
}

bool meets(BenchReport::Figure const &figure)
{
    auto const value = median(figure.controller);
    return figure.target->atLeast ? value >= figure.target->value : value <= figure.target->value;
}

std::string targetText(BenchReport::Figure const &figure)
{
    if (!figure.target)
        return "";
    return (figure.target->atLeast ? ">= " : "<= ") + format(figure.target->value) +
           (meets(figure) ? " met" : " MISSED");
}

void writeRuns(Writer &writer, char const *name, std::vector<double> const &runs)
{
    writer.Key(name);
    writer.StartObject();
    writer.Key("median");
    writer.Double(median(runs));
    auto const [low, high] = std::minmax_element(runs.begin(), runs.end());
    writer.Key("min");
    writer.Double(*low);
    writer.Key("max");
    writer.Double(*high);
    writer.Key("runs");
    writer.StartArray();
    for (auto run : runs)
        writer.Double(run);
    writer.EndArray();
    writer.EndObject();
}

} // namespace

double median(std::vector<double> values)
{
    if (values.empty())
        return std::nan("");
    std::sort(values.begin(), values.end());
    auto const middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double quantile(std::vector<double> const &sorted, double q)
{
    if (sorted.empty())
        return std::nan("");
    auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

void BenchReport::add(std::string const &section, Figure figure)
{
    if (figure.controller.empty())
        return;
    if (sections.empty() || sections.back().name != section)
        sections.push_back({section, {}});
    sections.back().figures.push_back(std::move(figure));
}

bool BenchReport::allTargetsMet() const
{
    for (auto const &section : sections)
        for (auto const &figure : section.figures)
            if (figure.target && !meets(figure))
                return false;
    return true;
}

void BenchReport::printTable(std::ostream &out) const
{
    char line[256];
    out << "Machine: " << machine.cores << " cores, " << machine.memoryKiB / 1024 << " MiB, "
        << machine.cpuModel << ", " << machine.kernel << "\n";
    for (auto const &section : sections)
    {
        out << "\n" << section.name << "\n";
        std::snprintf(line, sizeof line, "  %-44s %10s %19s %10s %7s  %s\n", "figure", "controller",
                      "spread (min..max)", "bare relay", "ratio", "target");
        out << line;
        for (auto const &figure : section.figures)
        {
            auto const value = median(figure.controller);
            std::string floorText = "-", ratioText = "-";
            if (!figure.floor.empty())
            {
                auto const floorValue = median(figure.floor);
                floorText = format(floorValue);
                if (floorValue != 0)
                    ratioText = format(value / floorValue);
            }
            std::snprintf(line, sizeof line, "  %-44s %10s %19s %10s %7s  %s\n",
                          (figure.name + " (" + figure.unit + ")").c_str(), format(value).c_str(),
                          spread(figure.controller).c_str(), floorText.c_str(), ratioText.c_str(),
                          targetText(figure).c_str());
            out << line;
        }
    }
    if (!notes.empty())
        out << "\n";
    for (auto const &text : notes)
        out << "Note: " << text << "\n";
}

std::string BenchReport::json() const
{
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    writer.StartObject();
    writer.Key("machine");
    writer.StartObject();
    writer.Key("cores");
    writer.Uint(machine.cores);
    writer.Key("memory_kib");
    writer.Uint64(machine.memoryKiB);
    writer.Key("cpu");
    writer.String(machine.cpuModel.c_str());
    writer.Key("kernel");
    writer.String(machine.kernel.c_str());
    writer.EndObject();
    writer.Key("sections");
    writer.StartArray();
    for (auto const &section : sections)
    {
        writer.StartObject();
        writer.Key("name");
        writer.String(section.name.c_str());
        writer.Key("figures");
        writer.StartArray();
        for (auto const &figure : section.figures)
        {
            writer.StartObject();
            writer.Key("key");
            writer.String(figure.key.c_str());
            writer.Key("name");
            writer.String(figure.name.c_str());
            writer.Key("unit");
            writer.String(figure.unit.c_str());
            writeRuns(writer, "controller", figure.controller);
            if (!figure.floor.empty())
            {
                writeRuns(writer, "bare_relay", figure.floor);
                writer.Key("ratio");
                writer.Double(median(figure.controller) / median(figure.floor));
            }
            if (figure.target)
            {
                writer.Key("target");
                writer.StartObject();
                writer.Key(figure.target->atLeast ? "at_least" : "at_most");
                writer.Double(figure.target->value);
                writer.Key("met");
                writer.Bool(meets(figure));
                writer.EndObject();
            }
            writer.EndObject();
        }
        writer.EndArray();
        writer.EndObject();
    }
    writer.EndArray();
    writer.Key("notes");
    writer.StartArray();
    for (auto const &text : notes)
        writer.String(text.c_str());
    writer.EndArray();
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

} // namespace kelvarin::triggerTesting::bench
