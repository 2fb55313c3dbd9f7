# Builds of the same sources in other forms, each tested from here: the
# Windows executable under Wine, the whole suite under sanitizers, and the
# fuzz target.
include(ExternalProject)

# The Windows executable, cross-built with mingw-w64 and run under Wine.
find_program(MINGW_CXX x86_64-w64-mingw32-g++)
find_program(WINE wine)
if(MINGW_CXX AND WINE)
  ExternalProject_Add(dramlift_windows
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/windows
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
               -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
               -DDRAMLIFT_RAM_LOADER_SOURCE=${RAM_LOADER_SOURCE}
    BUILD_ALWAYS ON
    INSTALL_COMMAND "")
  add_executable(windows_tests windows_test.cpp)
  target_link_libraries(windows_tests PRIVATE test_support GTest::gtest_main)
  target_compile_definitions(windows_tests PRIVATE
    DRAMLIFT_WINDOWS_EXE="${CMAKE_BINARY_DIR}/windows/dramlift.exe")
  add_dependencies(dramlift_windows ram_loader)
  add_dependencies(windows_tests dramlift_windows dramlift-board)
  # One process for all: the Wine prefix is made once.
  add_test(NAME windows_tests COMMAND windows_tests)
  # The zip holds the executable and the text on how to use it, nothing else.
  add_test(NAME windows_zip
    COMMAND sh -c "cpack -G ZIP > /dev/null && files=$(cmake -E tar tf dramlift-*-windows-x86_64.zip | sort | tr '\\n' ' ') && echo $files && [ \"$files\" = 'README.txt dramlift.exe ' ]"
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/windows)
else()
  add_skipped_test(windows_tests "mingw-w64 or wine missing: dramlift.exe not built or tested")
endif()

# Every test of the tools once more, with AddressSanitizer (leaks included)
# and UndefinedBehaviorSanitizer in the tools and the tests. The checks of
# sources and of the package are left out: a sanitized package depends on
# the sanitizers' runtimes.
ExternalProject_Add(dramlift_sanitized
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/sanitized
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAMLIFT_OTHER_BUILDS=OFF
             "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
             -DDRAMLIFT_RAM_LOADER_SOURCE=${RAM_LOADER_SOURCE}
  BUILD_ALWAYS ON
  INSTALL_COMMAND "")
add_dependencies(dramlift_sanitized ram_loader)
add_test(NAME sanitized_suite
  COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${CMAKE_BINARY_DIR}/sanitized
          --output-on-failure -j2 -E "clang_format|cppcheck|manual_page|debian_package")

# The fuzz targets, for a fixed number of inputs from the committed seeds.
find_program(CLANG_CXX clang++)
if(CLANG_CXX)
  ExternalProject_Add(dramlift_fuzz
    SOURCE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/fuzz
    BINARY_DIR ${CMAKE_BINARY_DIR}/fuzz
    CMAKE_ARGS -DCMAKE_CXX_COMPILER=${CLANG_CXX}
               -DDRAMLIFT_RAM_LOADER_SOURCE=${RAM_LOADER_SOURCE}
    BUILD_ALWAYS ON
    INSTALL_COMMAND "")
  add_dependencies(dramlift_fuzz ram_loader)
  add_test(NAME fuzz_transfer
    COMMAND sh -c "rm -rf corpus && mkdir corpus && exec ./fuzz_transfer -seed=1 -runs=40000 -max_len=4096 -timeout=30 corpus ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/seeds"
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  add_test(NAME fuzz_telnet
    COMMAND sh -c "rm -rf telnet_corpus && mkdir telnet_corpus && exec ./fuzz_telnet -seed=1 -runs=200000 -max_len=1024 -timeout=30 telnet_corpus ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/telnet_seeds"
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  # The loader's block reader, against whatever the line sends, from seeds
  # that are frames of every kind.
  add_test(NAME fuzz_loader
    COMMAND sh -c "[ -x fuzz_loader ] || { echo 'Unicorn missing: fuzz_loader not built'; exit 77; }; rm -rf loader_corpus && mkdir loader_corpus && exec ./fuzz_loader -seed=1 -runs=2000 -max_len=8192 -timeout=60 loader_corpus ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/loader_seeds"
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  set_tests_properties(fuzz_loader PROPERTIES SKIP_RETURN_CODE 77)
else()
  add_skipped_test(fuzz_loader "clang++ missing: the fuzz target not built or run")
  add_skipped_test(fuzz_transfer "clang++ missing: the fuzz target not built or run")
  add_skipped_test(fuzz_telnet "clang++ missing: the fuzz target not built or run")
endif()

# The tool on the real Linux serial drivers, in a QEMU guest: a static build
# of it, and of the probe that looks at the guest's ports.
find_program(QEMU qemu-system-x86_64)
if(QEMU)
  add_executable(dramlift_static ${PROJECT_SOURCE_DIR}/app/main.cpp)
  target_link_libraries(dramlift_static PRIVATE dramlift_driver dramlift_xmodem dramlift_serial)
  target_link_options(dramlift_static PRIVATE -static)
  add_executable(port_probe guest/port_probe.cpp)
  target_link_options(port_probe PRIVATE -static)
  add_test(NAME real_ports
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/real_ports_test.sh $<TARGET_FILE:dramlift_static>
            $<TARGET_FILE:port_probe> $<TARGET_FILE:dramlift-board>)
  set_tests_properties(real_ports PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)

  # A real U-Boot, Debian's u-boot-qemu, as the loader that the terminal
  # sends files to.
  add_executable(uboot_tests uboot_test.cpp)
  target_link_libraries(uboot_tests PRIVATE test_support GTest::gtest_main)
  add_dependencies(uboot_tests dramlift dramlift-board)
  gtest_discover_tests(uboot_tests)

  # dramlift as a labgrid driver, through ser2net to the real U-Boot's prompt.
  add_test(NAME labgrid
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/labgrid_test.sh ${PROJECT_SOURCE_DIR}
            $<TARGET_FILE:dramlift> $<TARGET_FILE:dramlift-board>)
  set_tests_properties(labgrid PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
else()
  add_skipped_test(real_ports "qemu-system-x86 missing: the real serial drivers not tried")
  add_skipped_test(real_uboot "qemu-system-x86 missing: no real U-Boot tried")
  add_skipped_test(labgrid "qemu-system-x86 missing: no real U-Boot for the labgrid driver")
endif()

# The macOS programs, cross-built with zig's clang from the sources of the
# POSIX build here.
find_program(NPM npm)
if(NPM)
  # The same files, the RAM loader's bytes as this build made them; the
  # emulator without its core, for want of Unicorn there.
  set(library_sources)
  foreach(library dramlift_driver dramlift_xmodem dramlift_serial dramlift_console)
    get_target_property(sources ${library} SOURCES)
    foreach(source ${sources})
      if(IS_ABSOLUTE ${source})
        list(APPEND library_sources ${source})
      else()
        list(APPEND library_sources ${PROJECT_SOURCE_DIR}/${source})
      endif()
    endforeach()
  endforeach()
  get_target_property(board_sources dramlift-board SOURCES)
  list(REMOVE_ITEM board_sources board_core.cpp board_uart.cpp)
  list(APPEND board_sources board_core_none.cpp)
  list(REMOVE_DUPLICATES board_sources)
  list(TRANSFORM board_sources PREPEND ${PROJECT_SOURCE_DIR}/tools/)
  add_test(NAME macos_build
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/macos_build.sh ${CMAKE_BINARY_DIR}/macos
            ${PROJECT_SOURCE_DIR} ${PROJECT_VERSION} ${library_sources} -- ${PROJECT_SOURCE_DIR}/app/main.cpp
            -- ${board_sources})
  set_tests_properties(macos_build PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 1200)
else()
  add_skipped_test(macos_build "npm missing: the macOS build not tried")
endif()
