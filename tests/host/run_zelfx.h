// Runs the zelfx program as a user would and keeps what it printed.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "process.h"

namespace zelfx::test {

struct Ran {
    int status;
    std::string out;
    std::string err;

    nlohmann::json json() const { return nlohmann::json::parse(out); }
    // The texts of a JSON document's "log", in order.
    std::vector<std::string> logTexts() const {
        std::vector<std::string> texts;
        const auto doc = json();
        for (const auto& entry : doc.at("log")) {
            texts.push_back(entry.at("text"));
        }
        return texts;
    }
};

inline Ran zelfx(std::vector<std::string> args, int timeoutMs = 15000) {
    args.insert(args.begin(), ZELFX_CLI);
    ChildProcess child(args, true);
    int status = child.wait(timeoutMs);
    return {status, child.out(), child.errors()};
}

}  // namespace zelfx::test
