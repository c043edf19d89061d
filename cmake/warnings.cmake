# Compiler warnings for every target of ours: the daemon, its tests, the fuzz targets, the simulator
# and the benchmark tools (the last two also build on their own and include this file themselves).
# Third-party headers come from system include directories, where compilers stay quiet.
# OVRA_WERROR turns the warnings into errors: scripts/test.sh (and so CI) builds with it.
include_guard(GLOBAL)

option(OVRA_WERROR "Treat compiler warnings as errors" OFF)
add_compile_options(-Wall -Wextra -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast)
if(OVRA_WERROR)
  add_compile_options(-Werror)
endif()
