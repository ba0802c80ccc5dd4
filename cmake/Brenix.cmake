# Shared build rules: warnings, sanitizers, the source name that fatal stops cite.

# The programs install where the units will name them (packaging/).
include(GNUInstallDirs)

set(BRENIX_WARNINGS -Wall -Wextra -Wpedantic -Wno-missing-field-initializers)
# Errors only where we choose (scripts/test, CI): a user's or packager's build
# with another compiler or build type must not fail on a new warning.
if(BRENIX_WERROR)
  list(APPEND BRENIX_WARNINGS -Werror)
endif()

if(BRENIX_FUZZERS)
  # Coverage for the fuzzers reaches into every library they link.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(BRENIX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(BRENIX_TSAN)
  add_compile_options(-fsanitize=thread)
  add_link_options(-fsanitize=thread)
endif()

# Every source gets BRENIX_SOURCE: its path from lib/ or apps/ onward without
# extension, e.g. "lib/user/msg". Fatal stops and API errors cite it.
function(brenix_source_names)
  foreach(src IN LISTS ARGN)
    get_filename_component(abs "${src}" ABSOLUTE)
    file(RELATIVE_PATH rel "${PROJECT_SOURCE_DIR}" "${abs}")
    string(REGEX REPLACE "\\.[^./]*$" "" rel "${rel}")
    string(REGEX REPLACE "^lib/([^/]+)/posix/" "lib/\\1/" rel "${rel}")
    set_property(SOURCE "${src}" APPEND PROPERTY COMPILE_DEFINITIONS "BRENIX_SOURCE=\"${rel}\"")
  endforeach()
endfunction()

# brenix_module(<name> [PUBLIC_LINKS <targets>...] [LINKS <targets>...]): a
# static library from every .cpp of the calling folder (and its posix/
# subfolder), public headers in include/. LINKS are the module's edges of the
# layer graph and stay private, so a user of the module cannot reach past it;
# PUBLIC_LINKS only for modules that its own headers include.
function(brenix_module name)
  cmake_parse_arguments(ARG "" "" "PUBLIC_LINKS;LINKS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/posix/*.cpp)
  if(NOT srcs)
    set(srcs ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(brenix_${name} STATIC ${srcs})
  brenix_source_names(${srcs})
  target_include_directories(brenix_${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  target_compile_options(brenix_${name} PRIVATE ${BRENIX_WARNINGS})
  if(ARG_PUBLIC_LINKS)
    target_link_libraries(brenix_${name} PUBLIC ${ARG_PUBLIC_LINKS})
  endif()
  if(ARG_LINKS)
    target_link_libraries(brenix_${name} PRIVATE ${ARG_LINKS})
  endif()
endfunction()

# brenix_app(<executable> <library> LINKS <targets>...): a front end as a
# library of every .cpp of the calling folder but main.cpp (so its parts can
# be unit-tested), plus the executable from main.cpp. The links are public:
# the tests of the parts see what the parts see.
function(brenix_app exe lib)
  cmake_parse_arguments(ARG "" "" "LINKS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(REMOVE_ITEM srcs ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
  if(NOT srcs)
    set(srcs ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${lib} STATIC ${srcs})
  brenix_source_names(${srcs} ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
  target_include_directories(${lib} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_options(${lib} PRIVATE ${BRENIX_WARNINGS})
  target_link_libraries(${lib} PUBLIC ${ARG_LINKS})
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
    add_executable(${exe} ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
    target_compile_options(${exe} PRIVATE ${BRENIX_WARNINGS})
    target_link_libraries(${exe} PRIVATE ${lib})
    if(BRENIX_STATIC_LIBSTDCXX)
      target_link_options(${exe} PRIVATE -static-libstdc++ -static-libgcc)
    endif()
    install(TARGETS ${exe} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endfunction()

# brenix_tests(<module targets>...): one GoogleTest executable per *_test.cpp
# of the calling folder.
function(brenix_tests)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  file(RELATIVE_PATH prefix "${PROJECT_SOURCE_DIR}/tests" "${CMAKE_CURRENT_SOURCE_DIR}")
  string(REPLACE "/" "_" prefix "${prefix}")
  string(REPLACE "-" "_" prefix "${prefix}")
  foreach(t IN LISTS tests)
    get_filename_component(stem "${t}" NAME_WE)
    set(exe test_${prefix}_${stem})
    add_executable(${exe} ${t})
    brenix_source_names(${t})
    target_compile_options(${exe} PRIVATE ${BRENIX_WARNINGS})
    target_link_libraries(${exe} PRIVATE ${ARGN} brenix_testsupport GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
    set_target_properties(${exe} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tests)
    gtest_discover_tests(${exe} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120
      ENVIRONMENT "BRENIX_BIN_DIR=${PROJECT_BINARY_DIR}/bin")
  endforeach()
endfunction()
