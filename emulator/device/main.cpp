// tarnwell-camera: serves the emulated cameras of a scenario as GigE Vision devices, camera i at
// the i-th address given, until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <boost/program_options.hpp>

#include "GenICam/Exception.h"
#include "GigeCamera.h"
#include "Scenario.h"

namespace {

namespace options = boost::program_options;
using Tarnwell::device::GigeCamera;

constexpr const char* kUsage =
    "Usage: tarnwell-camera [--scenario FILE] --address A [--address B ...]\n"
    "Serves the emulated cameras of a scenario as GigE Vision devices: camera i at the i-th\n"
    "address, control on UDP port 3956, until SIGINT or SIGTERM. Once every camera is bound it\n"
    "prints one line per camera: Serving <name> at <address>.\n";

// Texts from a scenario are shown with control bytes escaped.
std::string Printable(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// A unicast IPv4 address in dotted form, or why not.
void CheckAddress(const std::string& text) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
        throw std::runtime_error("'" + Printable(text) +
                                 "' is not an IPv4 address such as 127.0.0.2.");
    }
    const std::uint32_t ip = ntohl(address.s_addr);
    if (ip == 0 || ip == 0xFFFFFFFFu || ip >> 28 == 0xE) {
        throw std::runtime_error("'" + text + "' is not a unicast address a camera can have.");
    }
}

int Serve(int argc, char** argv) {
    options::options_description described("Options");
    described.add_options()("help,h", "print this text and exit")(
        "scenario", options::value<std::string>()->value_name("FILE"),
        "the emulation scenario (as ORVEL_EMULATION: a JSON file or a number of default "
        "cameras); default: two default cameras")(
        "address", options::value<std::vector<std::string>>()->value_name("A"),
        "IPv4 address of the next camera, one per camera");
    options::variables_map given;
    options::store(options::command_line_parser(argc, argv)
                       .options(described)
                       .style(options::command_line_style::default_style &
                              ~options::command_line_style::allow_guessing)
                       .run(),
                   given);
    if (given.count("help") != 0) {
        std::cout << kUsage << '\n' << described;
        return 0;
    }
    const std::vector<std::string> addresses = given.count("address") != 0
                                                   ? given["address"].as<std::vector<std::string>>()
                                                   : std::vector<std::string>{};
    std::set<std::string> seen;
    for (const std::string& address : addresses) {
        CheckAddress(address);
        if (!seen.insert(address).second) {
            throw std::runtime_error("Address " + address + " is given twice.");
        }
    }
    const std::string origin =
        given.count("scenario") != 0 ? given["scenario"].as<std::string>() : "";
    const Orvel::detail::Scenario scenario =
        Orvel::detail::LoadScenario(origin.empty() ? nullptr : origin.c_str());
    const std::size_t count = scenario.cameras.size();
    if (count == 0) {
        throw std::runtime_error("The scenario has no camera to serve.");
    }
    if (addresses.size() != count) {
        throw std::runtime_error(
            "The scenario has " + std::to_string(count) + " camera" + (count == 1 ? "" : "s") +
            " but " + std::to_string(addresses.size()) + " address" +
            (addresses.size() == 1 ? " was" : "es were") + " given: one --address per camera.");
    }

    // The signals are taken by sigwait below; every camera thread inherits the mask.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::unique_ptr<GigeCamera>> cameras;
    for (std::size_t i = 0; i < count; ++i) {
        cameras.push_back(std::make_unique<GigeCamera>(scenario.cameras[i], i, scenario.seed,
                                                       origin, addresses[i]));
    }
    for (const auto& camera : cameras) {
        camera->Start();
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::printf("Serving %s at %s\n", Printable(cameras[i]->Name()).c_str(),
                    addresses[i].c_str());
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        throw std::runtime_error("Cannot write to standard output.");
    }
    int signal = 0;
    sigwait(&stops, &signal);
    for (const auto& camera : cameras) {
        camera->Stop();
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Serve(argc, argv);
    } catch (const options::error& error) {
        std::cerr << "tarnwell-camera: " << error.what() << "; see tarnwell-camera --help."
                  << std::endl;
    } catch (const GenICam::GenericException& error) {
        std::cerr << error.GetDescription() << std::endl;
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
    }
    return 1;
}
