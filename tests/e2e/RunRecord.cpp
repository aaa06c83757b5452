// Reading a finished run's output back into numbers, and the shapes of whole outputs.
#include "RunRecord.h"

#include <regex>

namespace Tarnwell::test {
namespace {

const std::regex kWindow("\\d+\\.\\d\\d fps, \\d+ errors\\.");
const std::regex kSummary("#grabbed: (\\d+), (?:\\d+\\.\\d\\d fps, )?(\\d+) errors\\.");

const std::vector<std::string> kCounterLabels = {
    "Total Buffer Count    = ", "Failed Buffer Count   = ", "Buffer Underrun Count = ",
    "Total Packet Count    = ", "Failed Packet Count   = ", "Resend Request Count  = ",
    "Resend Packet Count   = "};

std::vector<Line> Head() {
    return std::vector<Line>{Exact("Processing Unit: CPU")} + ConnectionReport(4);
}

std::vector<Line> SeriesSummary(const std::string& subject, long long results) {
    std::vector<Line> lines{Exact(kRuleText)};
    // The first result of a series is not recorded.
    if (results < 2) {
        for (const char* which : {"Avg. ", "Min. ", "Max. "}) {
            lines.push_back(Exact(which + subject + ": no sample recorded"));
        }
    } else {
        lines.push_back(Pattern("Avg\\. " + subject + ": \\d+(\\.\\d+)? ms"));
        lines.push_back(Pattern("Min\\. " + subject + ": \\d+ ms"));
        lines.push_back(Pattern("Max\\. " + subject + ": \\d+ ms"));
    }
    lines.push_back(Exact(""));
    return lines;
}

}  // namespace

RunRecord ReadRun(const ProcessResult& run) {
    RunRecord record;
    bool systemStage = false;
    bool afterRule = false;
    for (const std::string& line : SplitLines(run.out)) {
        std::smatch match;
        if (line == kRuleText) {
            afterRule = true;
        } else if (line == "Measure system latency:") {
            systemStage = true;
            record.systemResults = 0;
        } else if (line.starts_with("Latency: ")) {
            ++(systemStage ? *record.systemResults : record.transferResults);
        } else if (!afterRule && std::regex_match(line, kWindow)) {
            record.windows.push_back(line);
        } else if (afterRule && std::regex_match(line, match, kSummary)) {
            record.grabbed = std::stoll(match[1]);
            record.errors = std::stoll(match[2]);
        } else {
            for (const std::string& label : kCounterLabels) {
                if (line.starts_with(label) && line.size() > label.size()) {
                    record.counters.push_back(std::stoll(line.substr(label.size())));
                }
            }
        }
    }
    for (const std::string& line : SplitLines(run.err)) {
        (line.starts_with("Grab error occurred (") ? record.grabErrors : record.otherErrors)
            .push_back(line);
    }
    return record;
}

::testing::AssertionResult IsFrameRateRun(const std::string& out) {
    std::size_t windows = 0;
    for (const std::string& line : SplitLines(out)) {
        windows += std::regex_match(line, kWindow) ? 1 : 0;
    }
    return OutputMatches(
        out, Head() + std::vector<Line>(windows, Pattern("\\d+\\.\\d\\d fps, \\d+ errors\\.")) +
                 Exact(kRuleText) +
                 Pattern("#grabbed: \\d+, (\\d+\\.\\d\\d fps, )?\\d+ errors\\.") + AnyCounters());
}

::testing::AssertionResult IsLatencyRun(const std::string& out, long long transfer,
                                        std::optional<long long> system) {
    const Line latency = Pattern("Latency: \\d+ms");
    std::vector<Line> expected = Head() + Lines("\n\nMeasure network transfer time:\n") +
                                 std::vector<Line>(static_cast<std::size_t>(transfer), latency) +
                                 SeriesSummary("network transfer time", transfer);
    if (system) {
        expected = expected +
                   Lines(
                       "Measure system latency:\n"
                       "Components:\n"
                       "IntensityCombined Component = 0\n"
                       "Intensity Component         = 1\n"
                       "Disparity Component         = 0\n"
                       "Confidence Component        = 0\n"
                       "Error Component             = 0\n"
                       "RawCombined Component       = 0\n"
                       "\n") +
                   std::vector<Line>(static_cast<std::size_t>(*system), latency) +
                   SeriesSummary("system latency", *system);
    }
    return OutputMatches(out, expected + AnyCounters());
}

}  // namespace Tarnwell::test
