include_guard(GLOBAL)

# orvelin_library(<target> [LIBS <targets>...])
# A subsystem's static library from every .cpp in the calling folder (not its
# subfolders). The folder's parent is on the include path, so code includes
# "platform/registry.h", "capi/capi.h" and so on.
function(orvelin_library target)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${target} PUBLIC ${ARG_LIBS} Threads::Threads)
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${target} INTERFACE ${ARG_LIBS} Threads::Threads)
  endif()
endfunction()

# orvelin_loaded_library(<target>)
# A library the program loads by name links every symbol it needs, so a missing one
# fails the build rather than the first load. Clang leaves the sanitizer and fuzzer
# runtimes to the executable, so under them those symbols are undefined by design.
function(orvelin_loaded_library target)
  if(NOT (CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND (ORVELIN_SANITIZE OR ORVELIN_FUZZ)))
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()

# orvelin_gtest(<target> LABEL <label> SOURCES <files>... [LIBS <targets>...]
#               [ENVIRONMENT <VAR=value>...])
# One GoogleTest binary; every test in it becomes a CTest test with the label.
function(orvelin_gtest target)
  cmake_parse_arguments(ARG "" "LABEL" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  # The variables go through an env wrapper rather than the ENVIRONMENT property:
  # gtest_discover_tests flattens PROPERTIES, so of a list value only the first
  # variable would arrive. Discovery runs through the wrapper as well.
  set_property(TARGET ${target} PROPERTY CROSSCOMPILING_EMULATOR
    ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen LC_ALL=C TZ=UTC
    ORVELIN_TEST_TMP=${CMAKE_BINARY_DIR}/testtmp ${ARG_ENVIRONMENT})
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES
      LABELS ${ARG_LABEL}
      TIMEOUT 600)
endfunction()
