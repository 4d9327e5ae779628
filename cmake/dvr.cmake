# Shared build rules: warnings, sanitizers, and the one-library-per-folder helper.

set(DVR_WARNINGS -Wall -Wextra -Werror -Wshadow -Wformat=2 -Wno-missing-field-initializers)

# 32-bit boards: times past 2038 and files past 2 GiB.  glibc takes
# 64-bit time only together with 64-bit file offsets.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_compile_definitions(_FILE_OFFSET_BITS=64 _TIME_BITS=64)
endif()

if(DVR_SANITIZE)
  # Power-cut sweeps run on a sample of their cut points here.
  add_compile_definitions(DVR_SANITIZE=1)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(DVR_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
  set(CMAKE_C_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
endif()

# dvr_library(NAME [DEPS lib...]): a static library of every .cpp in the
# calling folder, public include root at the source tree's top.
function(dvr_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${DVR_WARNINGS})
  target_compile_definitions(${name} PUBLIC DVR_SIM=$<BOOL:${DVR_SIM}>)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  set_property(GLOBAL APPEND PROPERTY DVR_LIBRARIES ${name})
endfunction()

# dvr_simulated(TARGET): in a simulation build, links the board simulator's
# seam backend into an executable, so DVR_BOARD puts it on a simulated
# board.  Product libraries never link it.
function(dvr_simulated target)
  if(DVR_SIM)
    target_link_libraries(${target} PRIVATE dvrsim_seam)
  endif()
endfunction()
