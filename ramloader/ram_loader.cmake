# The RAM loader: ARM code that runs on the board, built from the sources in
# this folder with clang's ARM target, ld.lld and llvm-objcopy, and embedded
# in the tool as bytes (RAM_LOADER_SOURCE, a C++ file of them). A build for
# another platform (Windows, macOS) takes the bytes that this one made:
# DRAMLIFT_RAM_LOADER_SOURCE names the file.
if(DRAMLIFT_RAM_LOADER_SOURCE)
  set(RAM_LOADER_SOURCE ${DRAMLIFT_RAM_LOADER_SOURCE})
  add_custom_target(ram_loader)
  return()
endif()
foreach(tool ARM_CLANG:clang ARM_LINKER:ld.lld ARM_OBJCOPY:llvm-objcopy)
  string(REPLACE ":" ";" tool ${tool})
  list(GET tool 0 variable)
  list(GET tool 1 name)
  find_program(${variable} ${name})
  if(NOT ${variable})
    message(FATAL_ERROR "${name} is needed to build the RAM loader (Debian: clang, lld, llvm)")
  endif()
endforeach()

set(loader_dir ${PROJECT_SOURCE_DIR}/ramloader)
set(loader_flags --target=armv5te-none-eabi -mcpu=arm926ej-s -marm -O2 -ffreestanding
  -fno-builtin -nostdlib -fropi -mno-unaligned-access -Wall -Wextra -Werror -I${loader_dir})
set(loader_objects)
foreach(source start.S loader.c)
  set(object ${CMAKE_BINARY_DIR}/ramloader/${source}.o)
  add_custom_command(OUTPUT ${object}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/ramloader
    COMMAND ${ARM_CLANG} ${loader_flags} -c ${loader_dir}/${source} -o ${object}
    DEPENDS ${loader_dir}/${source} ${loader_dir}/protocol.h
    COMMENT "Building the RAM loader's ${source}")
  list(APPEND loader_objects ${object})
endforeach()
set(loader_elf ${CMAKE_BINARY_DIR}/ramloader/ram_loader.elf)
set(loader_bin ${CMAKE_BINARY_DIR}/ramloader/ram_loader.bin)
set(RAM_LOADER_SOURCE ${CMAKE_BINARY_DIR}/ramloader/ram_loader_image.cpp)
add_custom_command(OUTPUT ${loader_bin}
  COMMAND ${ARM_LINKER} -T ${loader_dir}/loader.ld ${loader_objects} -o ${loader_elf}
  COMMAND ${ARM_OBJCOPY} -O binary ${loader_elf} ${loader_bin}
  DEPENDS ${loader_objects} ${loader_dir}/loader.ld
  COMMENT "Linking the RAM loader")
add_custom_command(OUTPUT ${RAM_LOADER_SOURCE}
  COMMAND ${CMAKE_COMMAND} -DINPUT=${loader_bin} -DOUTPUT=${RAM_LOADER_SOURCE}
          -P ${loader_dir}/embed.cmake
  DEPENDS ${loader_bin} ${loader_dir}/embed.cmake)
# For the builds of other forms, which take these bytes.
add_custom_target(ram_loader DEPENDS ${RAM_LOADER_SOURCE})
