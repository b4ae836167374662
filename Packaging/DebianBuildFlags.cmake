# Compiles and links with the flags that Debian builds its packages with, as
# dpkg-buildflags gives them (FORTIFY, the stack protector, format checks,
# RELRO, BIND_NOW): the packages' build (the `package` preset) turns this on.
# DEB_BUILD_MAINT_OPTIONS chooses the features, as it does for any Debian
# package; without it every hardening feature is on.

find_program(DPKG_BUILDFLAGS dpkg-buildflags REQUIRED)
if(NOT DEFINED ENV{DEB_BUILD_MAINT_OPTIONS})
  set(ENV{DEB_BUILD_MAINT_OPTIONS} "hardening=+all")
endif()

function(vlm_dpkg_buildflag flag output)
  # Run from the sources' root: -ffile-prefix-map maps that folder to ".",
  # so nothing of this machine's paths lands in the program.
  execute_process(COMMAND ${DPKG_BUILDFLAGS} --get ${flag}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE value OUTPUT_STRIP_TRAILING_WHITESPACE
    COMMAND_ERROR_IS_FATAL ANY)
  set(${output} "${value}" PARENT_SCOPE)
endfunction()

vlm_dpkg_buildflag(CPPFLAGS vlm_cppflags)
vlm_dpkg_buildflag(CFLAGS vlm_cflags)
vlm_dpkg_buildflag(CXXFLAGS vlm_cxxflags)
vlm_dpkg_buildflag(LDFLAGS vlm_ldflags)

# Normal variables over the cache's: a second configure starts again from the
# cache and so never adds the flags twice.
string(APPEND CMAKE_C_FLAGS " ${vlm_cppflags} ${vlm_cflags}")
string(APPEND CMAKE_CXX_FLAGS " ${vlm_cppflags} ${vlm_cxxflags}")
foreach(kind EXE SHARED MODULE)
  string(APPEND CMAKE_${kind}_LINKER_FLAGS " ${vlm_ldflags}")
endforeach()
message(STATUS "Debian build flags: ${vlm_cppflags} ${vlm_cxxflags} | ${vlm_ldflags}")
