# One INTERFACE target carries the language level, warnings and common
# definitions to every target of the project.
add_library(harlune_options INTERFACE)
add_library(harlune::options ALIAS harlune_options)

target_compile_features(harlune_options INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)

target_compile_options(harlune_options INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wnon-virtual-dtor
  -Wold-style-cast -Woverloaded-virtual -Wimplicit-fallthrough
  -Wmissing-declarations)
# GCC 12 reports -Wrestrict inside std::string when optimising (GCC bug
# 105329): false positives that would stop every optimised build.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(harlune_options INTERFACE $<$<NOT:$<CONFIG:Debug>>:-Wno-restrict>)
endif()
if(HARLUNE_WERROR)
  target_compile_options(harlune_options INTERFACE -Werror)
endif()

target_compile_definitions(harlune_options INTERFACE _FILE_OFFSET_BITS=64)

if(HARLUNE_SANITIZE)
  target_compile_options(harlune_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(harlune_options INTERFACE -fsanitize=address,undefined)
endif()
