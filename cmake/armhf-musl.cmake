# The device build: armhf, static, stripped, linked against musl.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(VF_MUSL_SPECS /usr/lib/arm-linux-musleabihf/musl-gcc.specs)
# Only the kernel's user-space headers besides musl's own.
set(VF_KERNEL_HEADERS ${CMAKE_CURRENT_LIST_DIR}/../build/kernel-headers-armhf)
file(MAKE_DIRECTORY ${VF_KERNEL_HEADERS})
foreach(dir linux asm asm-generic mtd)
  if(NOT EXISTS ${VF_KERNEL_HEADERS}/${dir})
    file(COPY /usr/arm-linux-gnueabihf/include/${dir} DESTINATION ${VF_KERNEL_HEADERS})
  endif()
endforeach()

# Each function and object in a section of its own, so that the link drops
# those the binary never calls (about 2 KiB).
set(CMAKE_CXX_FLAGS_INIT "-specs ${VF_MUSL_SPECS} -nostdinc++ -isystem ${VF_KERNEL_HEADERS} -mcpu=cortex-a8 -mfpu=neon -mfloat-abi=hard -ffunction-sections -fdata-sections")
# Link with the C driver: no C++ runtime comes along. The data segment follows
# the code in the file without padding to a page: no RELRO region (a static
# musl program never protects one) and no rounding to a common page, which
# otherwise cost up to 4 KiB of zeros.
set(CMAKE_CXX_LINK_EXECUTABLE
  "arm-linux-gnueabihf-gcc -static -s -Wl,-z,norelro,-z,common-page-size=64,--gc-sections <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# libsodium built from Debian's source for this target (scripts/sodium.sh musl).
set(VF_SODIUM_PREFIX ${CMAKE_CURRENT_LIST_DIR}/../build/sodium-musl)
