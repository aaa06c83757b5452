# Project-wide build switches: warnings (as errors in CI), sanitizers, and the engine's dispatch.
option(TARNWELL_WERROR "Treat compiler warnings as errors" OFF)
set(TARNWELL_SANITIZE "" CACHE STRING "Sanitizers to build with, e.g. address,undefined or thread")
# The engine picks its instruction set when it runs (through libhwy) unless this names one fixed
# at compile time: STATIC (the compiler flags' best) or SCALAR. The memcheck build uses it:
# valgrind runs only what the CPU advertises, and libhwy's start-up times its clock with an
# instruction that some machines do not advertise.
set(TARNWELL_HWY_ONLY "" CACHE STRING "Compile the engine for one instruction set: STATIC or SCALAR")

add_library(tarnwell_warnings INTERFACE)
# clang also checks lock discipline: state annotated as guarded by a mutex is touched only with it.
target_compile_options(tarnwell_warnings INTERFACE -Wall -Wextra -Wpedantic
    $<$<CXX_COMPILER_ID:Clang>:-Wthread-safety> $<$<BOOL:${TARNWELL_WERROR}>:-Werror>)

if(TARNWELL_SANITIZE)
    add_compile_options(-fsanitize=${TARNWELL_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${TARNWELL_SANITIZE})
endif()
