# Warnings are errors on both toolchains. Applied per target through al_warnings().
add_library(al_warnings INTERFACE)
target_compile_options(al_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
  -Wcast-align -Woverloaded-virtual -Wimplicit-fallthrough
  -Werror)
