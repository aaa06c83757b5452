// tarnwell-snapshot: grabs one frame of a stereo camera and saves its components as PNG pictures.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <boost/program_options.hpp>

#include "Configuration.h"
#include "Console.h"
#include "Discovery.h"
#include "Measurement.h"
#include "Orvel/Orvel.h"
#include "Pictures.h"
#include "Tarnwell.h"

namespace po = boost::program_options;
using namespace TarnwellSnapshot;

namespace {

// Full depth at binning 1 takes about a second on two cores; a busy machine may take many.
constexpr unsigned int kRetrieveTimeoutMs = 60000;
// Failed grabs (lost packets, injected faults) are retried this many times before giving up.
constexpr int kAttempts = 5;

// A component of the result, copied out: the buffer's offsets need not suit 16-bit reads.
template <class T>
std::vector<T> ComponentValues(const Orvel::CGrabResultData& result,
                               const Orvel::ComponentInfo& component) {
    if (component.bytesPerPixel != sizeof(T) ||
        component.size != std::size_t{component.width} * component.height * sizeof(T)) {
        throw std::runtime_error(std::string("The ") + component.name + " image has " +
                                 std::to_string(component.bytesPerPixel) +
                                 " bytes per pixel, not " + std::to_string(sizeof(T)) + ".");
    }
    std::vector<T> values(std::size_t{component.width} * component.height);
    std::memcpy(values.data(),
                static_cast<const unsigned char*>(result.GetBuffer()) + component.offset,
                component.size);
    return values;
}

void SavePictures(const Orvel::CGrabResultData& result, const std::string& output) {
    struct Wanted {
        const char* component;
        const char* suffix;
        bool saved = false;
    };
    std::vector<Wanted> wanted{{"Intensity", "left"},
                               {"Disparity", "disparity"},
                               {"Confidence", "confidence"},
                               {"Error", "error"}};
    for (std::size_t i = 0; i < result.GetNumberOfComponents(); ++i) {
        const Orvel::ComponentInfo& component = result.GetComponent(i);
        for (Wanted& w : wanted) {
            if (std::strcmp(component.name, w.component) != 0) {
                continue;
            }
            Picture picture;
            const std::string name = component.name;
            if (name == "Disparity") {
                picture = DisparityPicture(component.width, component.height,
                                           ComponentValues<std::uint16_t>(result, component));
            } else if (name == "Error") {
                picture = ErrorPicture(component.width, component.height,
                                       ComponentValues<std::uint8_t>(result, component));
            } else {
                picture = GreyPicture(component.width, component.height,
                                      ComponentValues<std::uint8_t>(result, component));
            }
            const std::string path = output + "-" + w.suffix + ".png";
            WritePng(picture, path);
            std::cout << path << " (" << component.width << "x" << component.height << ")"
                      << std::endl;
            w.saved = true;
        }
    }
    for (const Wanted& w : wanted) {
        if (!w.saved) {
            throw std::runtime_error(std::string("The camera sent no ") + w.component + " image.");
        }
    }
}

// Opens and configures the camera as tarnwell does (the processing-unit line included), then
// grabs one frame of the four components pictured.
void Snapshot(const po::variables_map& options) {
    Tarnwell::CameraSelection selection;
    Tarnwell::SelectCamera(options, selection);
    Orvel::CVelkorUniversalInstantCamera& camera = *selection.camera;
    Tarnwell::ApplyCameraSettings(camera, options);
    camera.TriggerMode.SetValue("Off", true);
    Tarnwell::ConfigureComponents(
        camera, "SynchronizedAlternateComponents",
        {.intensity = true, .disparity = true, .confidence = true, .error = true});

    camera.StartGrabbing(Orvel::GrabStrategy_OneByOne, Orvel::GrabLoop_ProvidedByUser);
    Orvel::CGrabResultPtr result;
    int attempt = 0;
    // A camera may end its acquisition by itself: no retry is asked of one that stopped grabbing.
    while (attempt < kAttempts && camera.IsGrabbing()) {
        ++attempt;
        camera.RetrieveResult(kRetrieveTimeoutMs, result, Orvel::TimeoutHandling_ThrowException);
        if (result->GrabSucceeded()) {
            break;
        }
        Tarnwell::WriteGrabErrorLine(std::cerr, result->GetErrorCode(),
                                     result->GetErrorDescription());
    }
    camera.StopGrabbing();
    if (!result || !result->GrabSucceeded()) {
        throw std::runtime_error(
            "No frame grabbed in " + std::to_string(attempt) + " attempt" +
            (attempt == 1 ? "" : "s") +
            (attempt < kAttempts ? "; the camera ended its acquisition." : "."));
    }
    // A camera that only times its frames (the emulation's modelled processing) sends buffers
    // without images: there is nothing to picture.
    if (!result->IsImagePresent()) {
        throw std::runtime_error("The camera sent a frame without image data: nothing to picture.");
    }
    SavePictures(*result, options["output"].as<std::string>());
    result.Release();
    camera.Close();
}

int Run(int argc, char* argv[]) {
    po::options_description description(
        "Grabs one frame of a stereo camera and saves its left view, disparity, confidence and\n"
        "error as PNG pictures: OUTPUT-left.png, OUTPUT-disparity.png, OUTPUT-confidence.png,\n"
        "OUTPUT-error.png. The camera is chosen and configured as tarnwell does.\n\nOptions");
    // The options tarnwell's steps read, with its names, types and defaults.
    // clang-format off
    description.add_options()
        ("help,h", "print help")
        ("name,n", po::value<std::string>()->default_value("*"),
            "camera name filter (glob pattern); the first matching camera is used")
        ("quality-mode", po::value<std::string>()->default_value("High"),
            "depth quality (Low, Medium, High, Full)")
        ("framerate", po::value<float>()->default_value(10.0F), "acquisition frame rate [Hz]")
        ("binning", po::value<int>()->default_value(1), "binning (1, 2, 4)")
        ("output,o", po::value<std::string>()->default_value("snapshot"),
            "start of the pictures' file names, a directory included");
    // clang-format on
    po::variables_map options;
    try {
        // Parsed as tarnwell parses, so that an argument holding the option library's
        // placeholders still gets its message.
        Tarnwell::ParseOptions(argc, argv, description, options);
    } catch (std::exception& error) {
        std::cerr << Tarnwell::ParseErrorText(error) << std::endl;
        std::cerr << description << std::endl;
        return 1;
    }
    if (options.count("help") != 0) {
        std::cout << description << std::endl;
        return 0;
    }

    int status = 0;
    try {
        const Orvel::OrvelAutoInitTerm sdk;
        Snapshot(options);
    } catch (const GenICam::GenericException& error) {
        std::cerr << Tarnwell::ErrorText(error) << std::endl;
        status = 1;
    } catch (const Tarnwell::OutputError&) {
        throw;
    } catch (const std::exception& error) {
        std::cerr << Tarnwell::Printable{error.what()} << std::endl;
        status = 1;
    }
    return status;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Standard output checked as tarnwell's is: a full disk or a closed pipe is an error. Nothing
    // here stops on a signal, so output simply waits for its reader.
    static const std::atomic<bool> neverSignalled{false};
    const Tarnwell::CheckedStandardOutput checkedOutput(neverSignalled);
    try {
        return Run(argc, argv);
    } catch (const Tarnwell::OutputError& error) {
        std::cerr << error.what() << std::endl;
        return 1;
    }
}
