# duoscope_add_tool(<target>): a program the engine runs; built into the build
# tree's tools/ folder and installed into <prefix>/libexec/duoscope/tools.
function(duoscope_add_tool target)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${DUOSCOPE_TOOLS_DIR})
  install(TARGETS ${target} RUNTIME DESTINATION ${DUOSCOPE_INSTALL_TOOLS_DIR})
endfunction()

# duoscope_add_tool_script(<file>): a script tool, copied executable into tools/.
function(duoscope_add_tool_script file)
  get_filename_component(name ${file} NAME)
  configure_file(${file} ${DUOSCOPE_TOOLS_DIR}/${name} COPYONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  install(PROGRAMS ${file} DESTINATION ${DUOSCOPE_INSTALL_TOOLS_DIR})
endfunction()

# Makes <test> depend on those of the programs given that this build has (some
# are optional); duoscope_add_test defers the call until every folder is read.
function(duoscope_depend_on_built test)
  foreach(dependency ${ARGN})
    if(TARGET ${dependency})
      add_dependencies(${test} ${dependency})
    endif()
  endforeach()
endfunction()

# duoscope_add_test(<name> SOURCES ... [LIBS ...] [LABELS ...] [FIXTURES ...]
#                   [DEPENDS <programs it runs>...] [INCLUDES <folders>...] [TIMEOUT <s>]
#                   [RESOURCE_LOCK <name>])
# A GoogleTest executable in build/tests/, each case registered with CTest.
# Cases that share something outside their scratch folders (a login folder)
# name it as a RESOURCE_LOCK, so that CTest never runs two of them at once.
function(duoscope_add_test name)
  if(NOT DUOSCOPE_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "TIMEOUT;RESOURCE_LOCK" "SOURCES;LIBS;LABELS;FIXTURES;DEPENDS;INCLUDES" ${ARGN})
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${T_INCLUDES})
  # GCC 12 reports a false -Wrestrict inside std::string concatenation.
  target_compile_options(${name} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-Wno-restrict>)
  if(T_DEPENDS)
    cmake_language(EVAL CODE "cmake_language(DEFER DIRECTORY [[${PROJECT_SOURCE_DIR}]]
                              CALL duoscope_depend_on_built [[${name}]] ${T_DEPENDS})")
  endif()
  target_compile_definitions(${name} PRIVATE
    DUOSCOPE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    DUOSCOPE_BINARY_DIR="${CMAKE_BINARY_DIR}"
    DUOSCOPE_TOOLS_DIR="${DUOSCOPE_TOOLS_DIR}"
    DUOSCOPE_TESTDATA_DIR="${DUOSCOPE_TESTDATA_DIR}"
    DUOSCOPE_KIT_DIR="${CMAKE_BINARY_DIR}/kit")
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  set(props LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
  if(T_FIXTURES)
    list(APPEND props FIXTURES_REQUIRED "${T_FIXTURES}")
  endif()
  if(T_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK ${T_RESOURCE_LOCK})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/tests
    PROPERTIES ${props})
endfunction()

# duoscope_add_fuzzer(<name> SOURCES ... [LIBS ...] CORPUS <dir>)
# SOURCES define LLVMFuzzerTestOneInput. With DUOSCOPE_FUZZ (clang) this is a
# libFuzzer binary with sanitizers; otherwise a replay driver that feeds every
# file of CORPUS (kept regression inputs) once, registered as a test (label fuzz).
function(duoscope_add_fuzzer name)
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  if(DUOSCOPE_FUZZ)
    add_executable(${name} ${F_SOURCES})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined -fno-omit-frame-pointer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  elseif(DUOSCOPE_BUILD_TESTS)
    add_executable(${name}_replay ${F_SOURCES} ${PROJECT_SOURCE_DIR}/cmake/FuzzReplayMain.cpp)
    target_link_libraries(${name}_replay PRIVATE ${F_LIBS})
    set_target_properties(${name}_replay PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    add_test(NAME ${name}_replay COMMAND ${name}_replay ${F_CORPUS})
    set_tests_properties(${name}_replay PROPERTIES LABELS fuzz TIMEOUT 300)
  endif()
endfunction()
