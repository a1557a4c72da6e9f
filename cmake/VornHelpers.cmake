# Build helpers shared by every subsystem folder:
#   vm_add_library(name SOURCES ... DEPS ...)
#   vm_add_test(name SOURCES ... DEPS ... [LABELS ...] [TSAN_SOURCES ...])
#                                                         one GoogleTest binary per subsystem
#   vm_add_benchmark(name SOURCES ... DEPS ...)           Google Benchmark, built, never run by ctest
#   vm_add_fuzzer(name SOURCES ... DEPS ... RUNS n [CORPUS dir])  libFuzzer harness, run briefly by ctest

include(GoogleTest)

function(vm_setup_toolchain)
  add_compile_options(-Wall -Wextra)
  # LLVM's linker (scripts/setup.sh installs it) links the test binaries several times faster
  # than the system default; without it the default linker does the same job.
  find_program(VM_LLD ld.lld)
  if(VM_LLD)
    add_link_options("$<$<LINK_LANGUAGE:C,CXX>:-fuse-ld=lld>")
  endif()
  # Given after the build type's -g, so it wins; nvcc takes no -g1.
  if(NOT VM_FULL_DEBUG_INFO)
    add_compile_options("$<$<AND:$<COMPILE_LANGUAGE:C,CXX>,$<CONFIG:Debug,RelWithDebInfo>>:-g1>")
  endif()
  if(VM_SANITIZE STREQUAL "address")
    set(flags -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_compile_options(${flags})
    add_link_options(${flags})
  elseif(VM_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
  elseif(VM_SANITIZE)
    message(FATAL_ERROR "VM_SANITIZE must be empty, 'address' or 'thread'")
  endif()
endfunction()

# Fuzz harnesses steer by the coverage of the code they fuzz: the sources a harness compiles
# itself and the project libraries it links. Only those are coverage-instrumented; the rest of
# the sanitizer build (and the tests that run it) goes without the instrumentation's cost.
function(vm_instrument_for_fuzzing)
  foreach(library ${ARGN})
    if(TARGET ${library})
      get_target_property(imported ${library} IMPORTED)
      if(NOT imported)
        target_compile_options(${library} PRIVATE -fsanitize=fuzzer-no-link)
      endif()
    endif()
  endforeach()
endfunction()

# Test binaries compile their files a few at a time as one unit: each test file parses the
# same heavy headers (GoogleTest, OpenCV, nlohmann JSON) and instantiates the same templates,
# which a shared unit does once. The libraries and programs stay one unit per file, so what
# they compile to does not depend on their neighbours. Test files of one binary therefore
# keep their file-local helpers under names of their own (or in a namespace named after the
# file); a file that cannot is given the source property SKIP_UNITY_BUILD_INCLUSION.
function(vm_unity_build target)
  set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 16)
  # Included into a unit, a test file counts as a header to g++, which then warns about its
  # fixtures deriving from types of the file's anonymous namespace: harmless in a test.
  target_compile_options(${target} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-Wno-subobject-linkage>)
endfunction()

# A test binary's own code mostly sets up cases and compares results: the work it checks runs
# in the libraries, which keep the build type's optimisation. So test code is compiled at -O1 in
# optimised builds, and without optimisation under the address sanitizer, where clang's
# optimiser takes half of a test unit's compile. The binaries below check whole flights in their
# own code (scene truths, reference computations) and would run slower unoptimised than they
# compile faster, so they keep the build type's level there. (Under the thread sanitizer
# unoptimised code is no quicker to compile: every memory access it leaves in place is
# instrumented.)
set(VM_TESTS_HEAVY_IN_OWN_CODE sfm_test stereo_dense_test terrain_fusion_test points_fusion_test)
function(vm_test_optimisation target)
  if(VM_SANITIZE STREQUAL "address" AND NOT target IN_LIST VM_TESTS_HEAVY_IN_OWN_CODE)
    target_compile_options(${target} PRIVATE -O0)
  elseif(NOT VM_SANITIZE)
    target_compile_options(${target} PRIVATE $<$<CONFIG:Release,RelWithDebInfo>:-O1>)
  endif()
endfunction()

function(vm_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# Under the thread sanitizer only binaries labelled "tsan" are built and registered, and of
# those, when TSAN_SOURCES names them, only the test files whose tests start threads (with
# the binary's helper sources, those not ending in _test.cpp): single-threaded code holds no
# race for the sanitizer to find.
function(vm_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS;TSAN_SOURCES" ${ARGN})
  if(VM_SANITIZE STREQUAL "thread")
    if(NOT "tsan" IN_LIST ARG_LABELS)
      return()
    endif()
    if(ARG_TSAN_SOURCES)
      list(FILTER ARG_SOURCES EXCLUDE REGEX "_test\\.cpp$")
      list(APPEND ARG_SOURCES ${ARG_TSAN_SOURCES})
    endif()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} vm_test_main)
  vm_unity_build(${name})
  vm_test_optimisation(${name})
  string(REGEX REPLACE "_test$" "" module ${name})
  # gtest_discover_tests flattens its PROPERTIES list (a label list would lose every
  # label after the first and TIMEOUT with them): the separators are escaped deep enough
  # to outlive the expansions on the way into the generated test file.
  set(labels unit ${ARG_LABELS})
  string(REPEAT "\\" 7 bs)
  string(REPLACE ";" "${bs};" labels "${labels}")
  gtest_discover_tests(${name}
    TEST_PREFIX "${module}/"
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS "${labels}" TIMEOUT 120)
endfunction()

function(vm_add_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT VM_BUILD_BENCHMARKS OR VM_SANITIZE)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark benchmark::benchmark_main)
endfunction()

# A fuzz harness defines LLVMFuzzerTestOneInput. ctest runs it with a fixed seed and
# a fixed number of runs over its corpus folder (inputs that once failed live there);
# running the binary by hand without -runs fuzzes for as long as one likes.
function(vm_add_fuzzer name)
  cmake_parse_arguments(ARG "" "RUNS;CORPUS" "SOURCES;DEPS" ${ARGN})
  if(NOT VM_BUILD_FUZZERS OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  # The libraries may be defined later in the configure: instrumented once all exist.
  cmake_language(EVAL CODE "cmake_language(DEFER DIRECTORY [[${PROJECT_SOURCE_DIR}]]
    CALL vm_instrument_for_fuzzing ${ARG_DEPS})")
  if(NOT ARG_RUNS)
    set(ARG_RUNS 20000)
  endif()
  # New inputs go to a folder of the build; the checked-in corpus is only read.
  set(found_dir ${CMAKE_CURRENT_BINARY_DIR}/${name}_found)
  file(MAKE_DIRECTORY ${found_dir})
  set(corpus_args ${found_dir})
  if(ARG_CORPUS)
    list(APPEND corpus_args ${CMAKE_CURRENT_SOURCE_DIR}/${ARG_CORPUS})
  endif()
  add_test(NAME fuzz/${name}
    COMMAND ${name} -seed=1 -runs=${ARG_RUNS} -max_len=4096 ${corpus_args})
  set_tests_properties(fuzz/${name} PROPERTIES LABELS "fuzz" TIMEOUT 300)
endfunction()
