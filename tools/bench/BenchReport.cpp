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

// The median, or "-" for a figure without runs.
std::string medianText(std::vector<double> const &runs)
{
    return runs.empty() ? "-" : format(median(runs));
}

// ours / theirs, or "-" where either has no runs.
std::string ratioText(std::vector<double> const &ours, std::vector<double> const &theirs)
{
    if (ours.empty() || theirs.empty() || median(theirs) == 0)
        return "-";
    return format(median(ours) / median(theirs));
}

// Pads to a width in characters, not bytes: a unit may be "µs".
std::string padded(std::string const &text, std::size_t width)
{
    auto const characters = static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
    return text + std::string(width > characters ? width - characters : 0, ' ');
}

std::string spread(std::vector<double> const &runs)
{
    if (runs.empty())
        return "-";
    auto const [low, high] = std::minmax_element(runs.begin(), runs.end());
    return format(*low) + ".." + format(*high);
}

using Of = BenchReport::Target::Of;

// A figure without runs, or without the runs it is compared with, misses its target.
bool meets(BenchReport::Figure const &figure, BenchReport::Target const &target)
{
    auto const &other = target.of == Of::relay ? figure.floor : figure.broker;
    if (figure.controller.empty() || (target.of != Of::value && other.empty()))
        return false;
    auto const value = median(figure.controller) / (target.of == Of::value ? 1.0 : median(other));
    return target.atLeast ? value >= target.value : value <= target.value;
}

char const *comparedWith(Of of)
{
    return of == Of::relay ? "ratio " : of == Of::broker ? "to mosquitto " : "";
}

std::string targetText(BenchReport::Figure const &figure)
{
    std::string text;
    for (auto const &target : figure.targets)
        text += std::string(text.empty() ? "" : "; ") + comparedWith(target.of) +
                (target.atLeast ? ">= " : "<= ") + format(target.value) +
                (meets(figure, target) ? " met" : " MISSED");
    return text;
}

void writeRuns(Writer &writer, char const *name, std::vector<double> const &runs)
{
    writer.Key(name);
    if (runs.empty())
    {
        writer.Null();
        return;
    }
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

// JSON has no infinity: a ratio to a figure of 0 (no CPU tick in a short window) is left out,
// as is one to a figure without runs.
void writeRatio(Writer &writer, char const *name, std::vector<double> const &ours,
                std::vector<double> const &theirs)
{
    if (ours.empty() || theirs.empty() || median(theirs) == 0)
        return;
    writer.Key(name);
    writer.Double(median(ours) / median(theirs));
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
    if (sections.empty() || sections.back().name != section)
        sections.push_back({section, {}});
    sections.back().figures.push_back(std::move(figure));
}

bool BenchReport::allTargetsMet() const
{
    for (auto const &section : sections)
        for (auto const &figure : section.figures)
            for (auto const &target : figure.targets)
                if (!meets(figure, target))
                    return false;
    return true;
}

bool BenchReport::anyBroker() const
{
    for (auto const &section : sections)
        for (auto const &figure : section.figures)
            if (!figure.broker.empty())
                return true;
    return false;
}

void BenchReport::printTable(std::ostream &out) const
{
    char line[256];
    auto const withBroker = anyBroker();
    out << "Machine: " << machine.cores << " cores, " << machine.memoryKiB / 1024 << " MiB, "
        << machine.cpuModel << ", " << machine.kernel << "\n";
    for (auto const &section : sections)
    {
        out << "\n" << section.name << "\n";
        std::snprintf(line, sizeof line, "  %-44s %10s %19s %10s %7s", "figure", "controller",
                      "spread (min..max)", "bare relay", "ratio");
        out << line;
        if (withBroker)
        {
            std::snprintf(line, sizeof line, " %10s %7s", "mosquitto", "ratio");
            out << line;
        }
        out << "  target\n";
        for (auto const &figure : section.figures)
        {
            std::snprintf(line, sizeof line, " %10s %19s %10s %7s",
                          medianText(figure.controller).c_str(), spread(figure.controller).c_str(),
                          medianText(figure.floor).c_str(),
                          ratioText(figure.controller, figure.floor).c_str());
            out << "  " << padded(figure.name + " (" + figure.unit + ")", 44) << line;
            if (withBroker)
            {
                std::snprintf(line, sizeof line, " %10s %7s", medianText(figure.broker).c_str(),
                              ratioText(figure.controller, figure.broker).c_str());
                out << line;
            }
            out << "  " << targetText(figure) << "\n";
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
                writeRatio(writer, "ratio", figure.controller, figure.floor);
            }
            if (!figure.broker.empty())
            {
                writeRuns(writer, "broker", figure.broker);
                writeRatio(writer, "ratio_to_broker", figure.controller, figure.broker);
            }
            if (!figure.targets.empty())
            {
                writer.Key("targets");
                writer.StartArray();
                for (auto const &target : figure.targets)
                {
                    writer.StartObject();
                    writer.Key(target.atLeast ? "at_least" : "at_most");
                    writer.Double(target.value);
                    writer.Key("of");
                    writer.String(target.of == Of::relay    ? "ratio to the bare relay"
                                  : target.of == Of::broker ? "ratio to the broker"
                                                            : "value");
                    writer.Key("met");
                    writer.Bool(meets(figure, target));
                    writer.EndObject();
                }
                writer.EndArray();
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
