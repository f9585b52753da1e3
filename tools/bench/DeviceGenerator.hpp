#pragma once

#include "bench/BenchDevice.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <memory>
#include <ostream>
#include <vector>

namespace kelvarin::triggerTesting::bench
{

// One generator process's share of the fleet: it connects its devices, at most `concurrency`
// of them between connecting and their validation answer, and tells the benchmark on standard
// output how the admission went:
//   "admission <admitted> <refused> <failed> <first start ns> <last answer ns>"
// (CLOCK_MONOTONIC, the same clock in every process), and "held <n>" whenever asked.
class DeviceGenerator
{
public:
    struct Settings
    {
        boost::asio::ip::tcp::endpoint controller;
        std::uint64_t firstUnit = 1;
        std::size_t count = 0;
        std::vector<boost::asio::ip::address_v4> sources; // used in turn
        std::size_t resultSize = 64;                      // bytes of result text
        std::size_t concurrency = 256;
    };

    DeviceGenerator(boost::asio::io_context &io, Settings settings, std::ostream &out);
    DeviceGenerator(DeviceGenerator const &) = delete;
    DeviceGenerator &operator=(DeviceGenerator const &) = delete;

    void start();
    void reportHeld();

private:
    void startNext();
    void onOutcome(bool admitted, bool failed);

    boost::asio::io_context &io;
    Settings settings;
    std::ostream &out;
    BenchDevice::Context context;
    std::vector<std::shared_ptr<BenchDevice>> devices;
    std::size_t started = 0;
    std::size_t admitted = 0, refused = 0, failed = 0, lost = 0;
    std::int64_t firstStart = 0, lastAnswer = 0;
};

// A result text of exactly `size` bytes (at least the smallest object it can be).
std::string paddedResultText(std::size_t size);

// Monotonic nanoseconds, comparable between processes of the machine.
std::int64_t monotonicNanoseconds();

} // namespace kelvarin::triggerTesting::bench
