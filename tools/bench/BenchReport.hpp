#pragma once

#include "bench/ProcessProbe.hpp"

#include <ostream>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::bench
{

// The figures of one benchmark run: each the median of its runs with their spread, beside the
// same figure for the bare relay and for the MQTT broker where there is one, and against its
// target where there is one. Printed as a table for people and written as JSON with the same
// numbers; a figure without runs (not to be taken on this machine) shows as "-" and null.
class BenchReport
{
public:
    // A bound on the controller's median, or on its ratio to the bare relay's or the broker's.
    struct Target
    {
        enum class Of
        {
            value,
            relay,
            broker,
        };
        bool atLeast = true; // otherwise at most
        double value = 0;
        Of of = Of::value;
    };

    struct Figure
    {
        std::string key;  // JSON name, lower case with underscores
        std::string name; // for the table
        std::string unit;
        std::vector<double> controller;
        std::vector<double> floor; // the bare relay's runs; empty where it has none
        std::vector<Target> targets;
        std::vector<double> broker = {}; // the MQTT broker's runs; empty where it has none
    };

    explicit BenchReport(MachineInfo machine) : machine(std::move(machine)) {}

    void add(std::string const &section, Figure figure);
    void note(std::string text) { notes.push_back(std::move(text)); }

    void printTable(std::ostream &out) const;
    std::string json() const;
    // Every figure that has a target meets it.
    bool allTargetsMet() const;

private:
    bool anyBroker() const;

    struct Section
    {
        std::string name;
        std::vector<Figure> figures;
    };

    MachineInfo machine;
    std::vector<Section> sections;
    std::vector<std::string> notes;
};

double median(std::vector<double> values);
// The q-quantile (0 to 1) of sorted values, nearest rank.
double quantile(std::vector<double> const &sorted, double q);

} // namespace kelvarin::triggerTesting::bench
