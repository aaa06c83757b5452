// The tarnwell run sequence: command-line options, the guarded run block and the stop request.
#pragma once

#include <atomic>
#include <exception>
#include <string>

#include <boost/program_options.hpp>

#include "GenICam/Exception.h"

namespace Tarnwell {

namespace po = boost::program_options;

// Set by the stop handler and by the frame-rate measurement at its limits; never reset.
extern std::atomic<bool> stopRequested;
// Set by the stop handler alone: the operator asked to stop, so output that stays blocked is
// given up. A run that reached its limit waits for its reader as any program does.
extern std::atomic<bool> stopSignalled;

// Adds the fifteen options, in help-text order, to a description captioned "Options".
void DeclareOptions(po::options_description& description);

// Parses, stores and notifies; every error is a standard exception carrying the library's message.
void ParseOptions(int argc, const char* const argv[], const po::options_description& description,
                  po::variables_map& options);

// The text of a parse error as the option library words it. Its own what() never returns for an
// argument that holds the placeholder it is substituted for ("--binning 1%value%").
std::string ParseErrorText(std::exception& error);

// Installed for SIGINT and SIGTERM: asks the running measurement to end after its current result.
void StopHandler(int signalNumber);

// The source the program's own errors name, which tells them from the SDK's: those quote texts of
// the camera and are shown escaped; the program's quote the user's input as typed.
inline constexpr const char* kOwnErrorSource = "tarnwell";

// An escaping error's text as the run prints it: the program's own as written (they quote the
// user's input as typed), the SDK's with control bytes escaped (they quote the camera).
std::string ErrorText(const GenICam::GenericException& error);

// Raises the program's own error: a GenICam::RuntimeException whose description is the message
// formatted printf-style and cut to 255 characters.
[[noreturn]] void RaiseError(unsigned int sourceLine, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The whole program: returns the process exit code.
int Run(int argc, char* argv[]);

}  // namespace Tarnwell
