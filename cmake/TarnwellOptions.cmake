# Project-wide build switches: warnings (as errors in CI) and sanitizers.
option(TARNWELL_WERROR "Treat compiler warnings as errors" OFF)
set(TARNWELL_SANITIZE "" CACHE STRING "Sanitizers to build with, e.g. address,undefined or thread")

add_library(tarnwell_warnings INTERFACE)
# clang also checks lock discipline: state annotated as guarded by a mutex is touched only with it.
target_compile_options(tarnwell_warnings INTERFACE -Wall -Wextra -Wpedantic
    $<$<CXX_COMPILER_ID:Clang>:-Wthread-safety> $<$<BOOL:${TARNWELL_WERROR}>:-Werror>)

if(TARNWELL_SANITIZE)
    add_compile_options(-fsanitize=${TARNWELL_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${TARNWELL_SANITIZE})
endif()
