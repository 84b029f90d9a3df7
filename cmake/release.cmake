# Makes a release from the source tree this file is in, as it is published and as anyone
# rebuilds it to check a published one:
#
#   cmake -P cmake/release.cmake                      into release/ in the source tree
#   cmake -DOUT=/path/to/folder -P cmake/release.cmake
#
# Release builds of quelm (Linux) and quelm.exe (MinGW-w64), packed by cpack into the Debian
# package and the Windows zip, which are put in OUT beside SHA256SUMS, the list that
# `sha256sum -c SHA256SUMS` checks. The builds are made afresh in OUT/build-linux and
# OUT/build-windows. The same commit gives the same bytes in any folder, on any file system, at
# any time, under any umask and as any user:
#   - every time stamp is the commit's (SOURCE_DATE_EPOCH, from git unless it is given);
#   - everything is packed with umask 022, so folders and the .deb's members have fixed modes;
#   - the zip is written again with its entries in name order and no owner (cpack writes them
#     in the order the file system lists them, with the builder's user and group ids);
#   - the .deb is written again by dpkg-deb, its files in name order and owned by root, with an
#     installed size counted from the files alone (cpack's counts what the file system reports
#     for each folder);
#   - compiler and archiver settings in the environment (CXXFLAGS, ZIPOPT...) are left out.
# The bytes also depend on the tools' versions: BUILDINFO, beside SHA256SUMS, lists them.
#
# Runs on Debian 12; needs cmake, make, g++, dpkg-dev, file, g++-mingw-w64-x86-64-posix, mandoc,
# zip and git.
cmake_minimum_required(VERSION 3.20)
get_filename_component(source "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
if(NOT DEFINED OUT OR OUT STREQUAL "")
  set(OUT "${source}/release")
endif()
get_filename_component(OUT "${OUT}" ABSOLUTE)
if(OUT MATCHES "[][*?]")
  # cpack, and the globs below, would read them as a pattern and pack nothing.
  message(FATAL_ERROR "OUT must not hold *, ? or brackets: ${OUT}")
endif()
if(NOT CMAKE_HOST_UNIX)
  message(FATAL_ERROR "A release is made on Debian: its package needs dpkg-deb and dpkg-shlibdeps.")
endif()
get_filename_component(cmake_bin "${CMAKE_COMMAND}" DIRECTORY)
find_program(cpack cpack HINTS "${cmake_bin}" REQUIRED)  # this CMake's own first
find_program(zip_program zip REQUIRED)
find_program(dpkg_deb dpkg-deb REQUIRED)
cmake_host_system_information(RESULT jobs QUERY NUMBER_OF_LOGICAL_CORES)
foreach(setting CC CXX CFLAGS CXXFLAGS CPPFLAGS LDFLAGS RCFLAGS CMAKE_GENERATOR
                CMAKE_TOOLCHAIN_FILE CMAKE_BUILD_PARALLEL_LEVEL ZIP ZIPOPT)
  unset(ENV{${setting}})
endforeach()

# SOURCE_DATE_EPOCH as cpack takes it, set here for every step.
set(CPACK_QUELM_SOURCE_DIR "${source}")
include("${CMAKE_CURRENT_LIST_DIR}/cpack_project.cmake")
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  message(FATAL_ERROR "A release needs the commit's time: build from a git checkout, or set "
                      "SOURCE_DATE_EPOCH.")
endif()
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
execute_process(COMMAND "${QUELM_GIT}" status --porcelain WORKING_DIRECTORY "${source}"
                OUTPUT_VARIABLE changes ERROR_QUIET)
if(NOT changes STREQUAL "")
  message(WARNING "The source has changes that are not committed: the packages are not the "
                  "commit's.")
endif()

# Runs a command with umask 022, stopping at its failure.
function(run)
  execute_process(COMMAND sh -c "umask 022 && exec \"$@\"" sh ${ARGN}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
endfunction()

function(build name generator)
  set(dir "${OUT}/build-${name}")
  file(REMOVE_RECURSE "${dir}")
  message(STATUS "quelm release: building ${dir}")
  run("${CMAKE_COMMAND}" -S "${source}" -B "${dir}" -DCMAKE_BUILD_TYPE=Release -DQUELM_TESTS=OFF
      ${ARGN})
  run("${CMAKE_COMMAND}" --build "${dir}" --parallel ${jobs})
  run("${CMAKE_COMMAND}" -E chdir "${dir}" "${cpack}" -G ${generator})
endfunction()

# The names under a folder, in byte order.
function(names_under dir out)
  file(GLOB_RECURSE names LIST_DIRECTORIES true RELATIVE "${dir}" "${dir}/*")
  list(SORT names)
  set(${out} ${names} PARENT_SCOPE)
endfunction()

function(repack_zip archive out)
  set(tree "${OUT}/zip-tree")
  file(REMOVE_RECURSE "${tree}")
  file(ARCHIVE_EXTRACT INPUT "${archive}" DESTINATION "${tree}")
  names_under("${tree}" names)
  set(files "")
  foreach(name IN LISTS names)
    if(NOT IS_DIRECTORY "${tree}/${name}")
      list(APPEND files "${name}")
      if(name MATCHES "\\.exe$")
        file(CHMOD "${tree}/${name}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
             GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
      else()
        file(CHMOD "${tree}/${name}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
      endif()
    endif()
  endforeach()
  run("${CMAKE_COMMAND}" -E chdir "${tree}" touch -d "@${epoch}" ${names})
  file(REMOVE "${out}")
  # -X: no owner, no extended time stamps; the DOS time stamp is the commit's in UTC.
  run("${CMAKE_COMMAND}" -E chdir "${tree}" "${CMAKE_COMMAND}" -E env TZ=UTC "${zip_program}"
      -X -D -q "${out}" ${files})
  file(REMOVE_RECURSE "${tree}")
endfunction()

function(repack_deb archive out)
  set(tree "${OUT}/deb-tree")
  file(REMOVE_RECURSE "${tree}")
  run("${dpkg_deb}" --raw-extract "${archive}" "${tree}")
  # The installed size as dpkg-gencontrol counts it: each file rounded up to KiB, each folder 1.
  names_under("${tree}" names)
  set(kib 0)
  foreach(name IN LISTS names)
    if(name MATCHES "^DEBIAN(/|$)")
      continue()
    elseif(IS_DIRECTORY "${tree}/${name}")
      math(EXPR kib "${kib} + 1")
    else()
      file(SIZE "${tree}/${name}" bytes)
      math(EXPR kib "${kib} + (${bytes} + 1023) / 1024")
    endif()
  endforeach()
  file(READ "${tree}/DEBIAN/control" control)
  string(REGEX REPLACE "(^|\n)Installed-Size: [0-9]+\n" "\\1Installed-Size: ${kib}\n" sized
         "${control}")
  if(sized STREQUAL control AND NOT control MATCHES "(^|\n)Installed-Size: ${kib}\n")
    message(FATAL_ERROR "cpack's control file has no Installed-Size line to set.")
  endif()
  file(WRITE "${tree}/DEBIAN/control" "${sized}")
  # dpkg-deb only brings later time stamps back to the commit's; the control file just written
  # and the folders may carry the builder's clock, later or earlier.
  names_under("${tree}" names)
  run("${CMAKE_COMMAND}" -E chdir "${tree}" touch -d "@${epoch}" . ${names})
  file(REMOVE "${out}")
  run("${dpkg_deb}" --root-owner-group -Zgzip --build "${tree}" "${out}")
  file(REMOVE_RECURSE "${tree}")
endfunction()

build(linux DEB)
build(windows ZIP -DCMAKE_TOOLCHAIN_FILE=${source}/cmake/mingw-w64-x86_64.cmake)

# The one package a build made.
function(package_in dir pattern out)
  file(GLOB found LIST_DIRECTORIES false "${dir}/${pattern}")
  list(LENGTH found count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "cpack made ${count} files named ${pattern} in ${dir}, not 1.")
  endif()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()
package_in("${OUT}/build-linux" "quelm_*.deb" deb)
package_in("${OUT}/build-windows" "quelm-*-win64.zip" zip)
get_filename_component(deb_name "${deb}" NAME)
get_filename_component(zip_name "${zip}" NAME)
repack_deb("${deb}" "${OUT}/${deb_name}")
repack_zip("${zip}" "${OUT}/${zip_name}")

set(sums "")
foreach(name IN ITEMS ${deb_name} ${zip_name})
  file(SHA256 "${OUT}/${name}" sum)
  string(APPEND sums "${sum}  ${name}\n")
endforeach()
file(WRITE "${OUT}/SHA256SUMS" "${sums}")

# What the bytes depend on besides the source: the Debian release and the tools' versions.
set(tools cmake make g++ g++-12 gcc-12 binutils libc6-dev libstdc++-12-dev
          g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix-runtime
          binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev mandoc zip dpkg dpkg-dev file gzip)
execute_process(COMMAND dpkg-query -W "-f=\${Package} \${Version}\n" ${tools}
                OUTPUT_VARIABLE versions ERROR_QUIET)
file(STRINGS /etc/debian_version debian LIMIT_COUNT 1)
file(WRITE "${OUT}/BUILDINFO" "commit time ${epoch}\nDebian ${debian}\n${versions}")
message(STATUS "quelm release: in ${OUT}\n${sums}")
