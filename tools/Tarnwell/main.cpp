// Entry point of the tarnwell stereo-camera benchmark.
#include "Tarnwell.h"

int main(int argc, char* argv[]) {
    return Tarnwell::Run(argc, argv);
}
