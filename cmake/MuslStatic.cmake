# Static programs linked against musl instead of glibc. A static glibc program probes the CPU's
# caches at start-up with dozens of CPUID instructions; inside a virtual machine each one traps to
# the hypervisor, which costs about 0.65 ms per process on our machines. A static musl program
# starts in about 0.03 ms. Every executable the stand-in compiler writes starts from its stub, so
# the stub is linked this way whenever musl-gcc (Debian: musl-tools) is installed.
#
# Sanitizer runtimes need glibc, so sanitized builds never use musl.
if(NOT SR_SANITIZE)
  find_program(SR_MUSL_GCC musl-gcc)
endif()
if(SR_MUSL_GCC)
  message(STATUS "Static musl programs are built with ${SR_MUSL_GCC}")
else()
  message(STATUS "musl-gcc not found: every static program links against glibc")
endif()

# sr_add_musl_executable(<target> OUTPUT <file> SOURCES <file>...
#                        [COMPILE_OPTIONS <flag>...] [LINK_OPTIONS <flag>...])
# Builds <file> from C or C++ sources (C++ only without the C++ standard library, which musl does
# not have) with musl-gcc, statically, and makes <target> stand for it. Each source is compiled on
# its own so that its depfile names the headers it includes.
function(sr_add_musl_executable target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUTPUT" "SOURCES;COMPILE_OPTIONS;LINK_OPTIONS;LIBRARIES")
  set(object_dir ${CMAKE_CURRENT_BINARY_DIR}/${target}.musl)
  set(objects)
  foreach(source IN LISTS arg_SOURCES)
    get_filename_component(name ${source} NAME)
    set(object ${object_dir}/${name}.o)
    # musl has no C++ library: its headers must not be found either.
    set(language_options)
    if(source MATCHES "\\.cc$")
      set(language_options -nostdinc++)
    endif()
    add_custom_command(
      OUTPUT ${object}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${object_dir}
      COMMAND ${SR_MUSL_GCC} -c -O2 -Wall -Wextra -Werror -I${CMAKE_SOURCE_DIR}
              ${language_options} ${arg_COMPILE_OPTIONS} -MD -MF ${object}.d
              ${CMAKE_CURRENT_SOURCE_DIR}/${source}
              -o ${object}
      DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${source}
      DEPFILE ${object}.d
      VERBATIM)
    list(APPEND objects ${object})
  endforeach()
  get_filename_component(output_dir ${arg_OUTPUT} DIRECTORY)
  add_custom_command(
    OUTPUT ${arg_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
    COMMAND ${SR_MUSL_GCC} -static ${arg_LINK_OPTIONS} ${objects} ${arg_LIBRARIES} -o ${arg_OUTPUT}
    DEPENDS ${objects} ${arg_LIBRARIES}
    COMMENT "Linking ${target} statically against musl"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${arg_OUTPUT})
endfunction()
