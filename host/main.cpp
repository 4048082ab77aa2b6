// zelfx: the reference host of the zelfx driver, on the command line.
#include <CLI/CLI.hpp>
#include <cstdint>
#include <iostream>
#include <limits>
#include <map>

#include "commands.h"

namespace {

using zelfx::GlobalOptions;

void addGlobalOptions(CLI::App& app, GlobalOptions& g) {
    const std::map<std::string, uint16_t> parity{
        {"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}};
    const std::map<std::string, uint16_t> stopBits{{"1", 0}, {"1.5", 1}, {"2", 2}};

    app.add_option("--port", g.port, "Serial device: COMn, a name under /dev/ or a path");
    app.add_option("--baud", g.baud, "Line rate in bit/s (default: the driver's, 9600)")
        ->check(CLI::Range(1, 65535));
    app.add_option("--data-bits", g.dataBits, "Data bits (default: the driver's, 7)")
        ->check(CLI::Range(5, 8));
    app.add_option("--parity", g.parity, "none|odd|even|mark|space (default: the driver's)")
        ->transform(CLI::CheckedTransformer(parity, CLI::ignore_case))
        ->option_text("MODE");
    app.add_option("--stop-bits", g.stopBits, "1|1.5|2 (default: the driver's)")
        ->transform(CLI::CheckedTransformer(stopBits))
        ->option_text("N");
    app.add_option("--timeout-ms", g.timeoutMs, "Read time-out in ms, in steps of 10 ms")
        ->check(CLI::Range(int64_t{1}, int64_t{3'600'000}))
        ->capture_default_str();
    app.add_option("--driver", g.driverPath, "Driver library (default: libzelfx.so near zelfx)");
    app.add_flag("--json", g.json, "Print one JSON object instead of text");
    app.add_flag("--trace", g.trace, "Print every driver message to stderr as it arrives");
}

CLI::Option* addType(CLI::App& cmd, std::optional<int32_t>& type) {
    return cmd.add_option("--type", type,
                          "Gate type (default from the access letter: P 6, L 4, others 0)");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"zelfx - reference host for the zelfx Mitsubishi FX driver"};
    app.require_subcommand(1);
    app.fallthrough();
    GlobalOptions g;
    addGlobalOptions(app, g);

    auto* info = app.add_subcommand("info", "Show what the driver says about itself");

    zelfx::ParseOptions parse;
    auto* parseCmd = app.add_subcommand("parse", "Parse a gate address");
    parseCmd->add_option("gate", parse.gate, "Gate address, e.g. DD0100")->required();
    addType(*parseCmd, parse.type);
    parseCmd->add_option("--block", parse.block, "Parse as a block of N elements");

    auto* ping = app.add_subcommand("ping", "Test the link to the PLC (ENQ / ACK)");

    zelfx::ReadOptions read;
    auto* readCmd = app.add_subcommand("read", "Read a gate");
    readCmd->add_option("gate", read.gate, "Gate address")->required();
    addType(*readCmd, read.type);
    readCmd->add_option("--count", read.count, "Elements; above 1 reads a block")
        ->check(CLI::Range(1, 65535));
    readCmd->add_option("--value-type", read.valueType, "1: signed values");

    zelfx::WriteOptions write;
    auto* writeCmd = app.add_subcommand("write", "Write one value or a block");
    writeCmd->add_option("gate", write.gate, "Gate address")->required();
    writeCmd->add_option("values", write.values, "Values: decimal, 0x hex, negative")->required();
    addType(*writeCmd, write.type);

    zelfx::PollOptions poll;
    auto* pollCmd = app.add_subcommand("poll", "Read gates over and over");
    pollCmd->add_option("gates", poll.gates, "Gate addresses, each optionally GATE:TYPE")
        ->required();
    pollCmd->add_option("--interval-ms", poll.intervalMs, "Pause between cycles")
        ->check(CLI::Range(int64_t{0}, int64_t{3'600'000}))
        ->capture_default_str();
    pollCmd->add_option("--cycles", poll.cycles, "Stop after N cycles (0: until Ctrl-C)")
        ->check(CLI::Range(int64_t{0}, std::numeric_limits<int64_t>::max()));

    auto* demo = app.add_subcommand("demo", "Walk through the driver against fxsim");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int status = app.exit(e);
        return status == 0 ? 0 : zelfx::kExitUsage;
    }

    try {
        if (info->parsed()) {
            return zelfx::runInfo(g);
        }
        if (parseCmd->parsed()) {
            return zelfx::runParse(g, parse);
        }
        if (ping->parsed()) {
            return zelfx::runPing(g);
        }
        if (readCmd->parsed()) {
            return zelfx::runRead(g, read);
        }
        if (writeCmd->parsed()) {
            return zelfx::runWrite(g, write);
        }
        if (pollCmd->parsed()) {
            return zelfx::runPoll(g, poll);
        }
        if (demo->parsed()) {
            return zelfx::runDemo(g);
        }
    } catch (const zelfx::UsageError& e) {
        std::cerr << "zelfx: " << e.what() << "\nRun with --help for more information.\n";
        return zelfx::kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "zelfx: " << e.what() << "\n";
        return 2;
    }
    return zelfx::kExitUsage;
}
