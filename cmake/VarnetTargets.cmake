# Warnings as errors on the project's own targets only (not on GoogleTest or Qt's generated code).
function(varnet_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  endif()
endfunction()

# A static library of the project's own: includes from the project root, links LIBS PUBLIC (the
# folders below it), warnings as errors. Usage:
#   varnet_library(NAME name SOURCES a.cpp b.cpp [LIBS lib1 lib2])
function(varnet_library)
  cmake_parse_arguments(L "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_library(${L_NAME} STATIC ${L_SOURCES})
  target_include_directories(${L_NAME} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${L_NAME} PUBLIC ${L_LIBS})
  varnet_warnings(${L_NAME})
endfunction()

# A unit-test executable registered with CTest. Usage:
#   varnet_test(NAME name SOURCES a.cpp b.cpp LIBS lib1 lib2 [PROPERTIES prop value ...])
# PROPERTIES are set on every test discovered in the executable. Every test requires the fixture
# that checks the temporary folder after the suite (tests/CMakeLists.txt).
function(varnet_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  varnet_warnings(${T_NAME})
  if(CMAKE_CROSSCOMPILING)
    gtest_discover_tests(${T_NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES ${T_PROPERTIES})
  else()
    gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60
                         PROPERTIES FIXTURES_REQUIRED varnet_temp ${T_PROPERTIES})
  endif()
endfunction()
