# Installs a build tree into a scratch prefix, then builds tests/install's
# consumer against the installation twice, through pkg-config and through
# find_package(kestrix), and runs both (through the emulator when the build is
# for another architecture). Run by ctest as
#   cmake -D<name>=<value>... -P check.cmake
# with BUILD_DIR, SOURCE_DIR, WORK_DIR, LIBDIR, BINDIR, C_COMPILER, CXX_COMPILER,
# GENERATOR, TOOLCHAIN_FILE, EMULATOR ("|"-separated), CROSSCOMPILING,
# PKG_CONFIG, READELF, PROGRAMS ("|"-separated installed programs),
# CHECKOUT_PROGRAMS ("|"-separated, installed in CHECKOUTDIR) and
# PRELOADS (the simulator's preload library, installed in LIBDIR/kestrix).

cmake_minimum_required(VERSION 3.25)

function(fail)
  string(JOIN "" text ${ARGN})
  message(FATAL_ERROR "${text}")
endfunction()

function(run)
  execute_process(COMMAND ${ARGN}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(JOIN " " command ${ARGN})
    fail("${command}\nfailed (${rc}):\n${out}${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
string(REPLACE "|" ";" PROGRAMS "${PROGRAMS}")
string(REPLACE "|" ";" CHECKOUT_PROGRAMS "${CHECKOUT_PROGRAMS}")
set(prefix ${WORK_DIR}/prefix)
set(libdir ${prefix}/${LIBDIR})
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# --- the installation itself ------------------------------------------------
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

if(NOT EXISTS ${libdir}/libkestrix.so.1)
  fail("no ${libdir}/libkestrix.so.1 after install")
endif()
file(READ_SYMLINK ${libdir}/libkestrix.so dev_link)
if(NOT dev_link STREQUAL "libkestrix.so.1")
  fail("libkestrix.so points to '${dev_link}', not to the SONAME libkestrix.so.1")
endif()
run(${READELF} -d ${libdir}/libkestrix.so.1)
if(NOT run_output MATCHES "\\(SONAME\\)[^\n]*\\[libkestrix\\.so\\.1\\]")
  fail("libkestrix.so.1 does not carry the SONAME libkestrix.so.1:\n${run_output}")
endif()

# Only the public headers: nothing beside include/kestrix, and every header
# there one of the public ones.
file(GLOB top RELATIVE ${prefix}/include ${prefix}/include/*)
if(NOT top STREQUAL "kestrix")
  fail("include/ holds '${top}'; only the kestrix directory belongs there")
endif()
file(GLOB_RECURSE installed_headers RELATIVE ${prefix}/include/kestrix ${prefix}/include/kestrix/*)
foreach(header IN LISTS installed_headers)
  # version.h is generated from version.h.in.
  if(NOT EXISTS ${SOURCE_DIR}/include/kestrix/${header} AND NOT EXISTS ${SOURCE_DIR}/include/kestrix/${header}.in)
    fail("installed header ${header} is not a public header")
  endif()
endforeach()
if(NOT "util.h" IN_LIST installed_headers)
  fail("the public headers were not installed")
endif()

foreach(program IN LISTS PROGRAMS)
  set(path ${prefix}/${BINDIR}/${program})
  if(NOT EXISTS ${path})
    fail("program ${program} not installed in ${BINDIR}")
  endif()
endforeach()

# The check-out programs stay out of bin/ and find the library through their
# relative run path.
foreach(program IN LISTS CHECKOUT_PROGRAMS)
  set(path ${prefix}/${CHECKOUTDIR}/${program})
  if(NOT EXISTS ${path})
    fail("check-out program ${program} not installed in ${CHECKOUTDIR}")
  endif()
  if(EXISTS ${prefix}/${BINDIR}/${program})
    fail("check-out program ${program} installed in ${BINDIR}")
  endif()
  run(${READELF} -d ${path})
  if(NOT run_output MATCHES "\\((RUNPATH|RPATH)\\)[^\n]*\\[\\$ORIGIN/([^]:]*)\\]")
    fail("${program} has no relative run path:\n${run_output}")
  endif()
  if(NOT EXISTS ${prefix}/${CHECKOUTDIR}/${CMAKE_MATCH_2}/libkestrix.so.1)
    fail("${program}'s run path $ORIGIN/${CMAKE_MATCH_2} does not lead to the library")
  endif()
endforeach()

foreach(preload IN LISTS PRELOADS)
  if(NOT EXISTS ${libdir}/kestrix/${preload})
    fail("the simulator's ${preload} is not installed in ${LIBDIR}/kestrix")
  endif()
endforeach()

foreach(file kestrix.pc)
  if(NOT EXISTS ${libdir}/pkgconfig/${file})
    fail("no ${LIBDIR}/pkgconfig/${file}")
  endif()
endforeach()

# --- the consumer's header list: every installed header ----------------------
set(c_includes "")
set(cxx_includes "")
foreach(header IN LISTS installed_headers)
  if(header MATCHES "\\.h$")
    string(APPEND c_includes "#include <kestrix/${header}>\n")
  endif()
  string(APPEND cxx_includes "#include <kestrix/${header}>\n")
endforeach()
file(WRITE ${WORK_DIR}/headers/all_headers.h "${c_includes}")
file(WRITE ${WORK_DIR}/headers/all_headers.cpp "${cxx_includes}")

# --- how a built consumer is checked -----------------------------------------
function(check_consumer binary how)
  run(${READELF} -d ${binary})
  if(NOT run_output MATCHES "\\(NEEDED\\)[^\n]*\\[libkestrix\\.so\\.1\\]")
    fail("${how}: the consumer does not need libkestrix.so.1:\n${run_output}")
  endif()
  if(CROSSCOMPILING)
    run(${READELF} -h ${binary})
    if(TOOLCHAIN_FILE MATCHES "gnueabihf" AND NOT run_output MATCHES "hard-float ABI")
      fail("${how}: the consumer is not built for the hard-float ABI:\n${run_output}")
    endif()
    if(NOT EMULATOR)
      message(STATUS "${how}: built for the target; not run (no emulator for it)")
      return()
    endif()
  endif()
  string(TIMESTAMP host_before "%s" UTC)
  run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${EMULATOR} ${binary})
  string(TIMESTAMP host_after "%s" UTC)
  if(NOT run_output MATCHES "seconds=([0-9]+)\\.[0-9][0-9][0-9] systime=[0-9]+ ulong_bits=([0-9]+)")
    fail("${how}: unexpected output from the consumer:\n${run_output}")
  endif()
  set(whole ${CMAKE_MATCH_1})
  # Agreement with the host clock to within a second.
  if(whole LESS host_before OR whole GREATER host_after)
    fail("${how}: seconds() read ${whole}, the host clock ${host_before} to ${host_after}")
  endif()
  message(STATUS "${how}: ${run_output}")
endfunction()

# --- pkg-config ----------------------------------------------------------------
set(pc_env PKG_CONFIG_LIBDIR=${libdir}/pkgconfig PKG_CONFIG_PATH= PKG_CONFIG_SYSROOT_DIR=)
run(${CMAKE_COMMAND} -E env ${pc_env} ${PKG_CONFIG} --cflags kestrix)
separate_arguments(pc_cflags UNIX_COMMAND "${run_output}")
run(${CMAKE_COMMAND} -E env ${pc_env} ${PKG_CONFIG} --libs kestrix)
separate_arguments(pc_libs UNIX_COMMAND "${run_output}")
run(${C_COMPILER} -std=c99 -Wall -Wextra -Werror ${pc_cflags} -I${WORK_DIR}/headers
  ${CMAKE_CURRENT_LIST_DIR}/consumer.c -o ${WORK_DIR}/consumer-pkgconfig ${pc_libs})
check_consumer(${WORK_DIR}/consumer-pkgconfig pkg-config)

# The run-time version, the headers' version and the package's version agree.
run(${CMAKE_COMMAND} -E env ${pc_env} ${PKG_CONFIG} --modversion kestrix)
string(STRIP "${run_output}" pc_version)
run(${C_COMPILER} -std=c99 -pedantic-errors -Wall -Wextra -Werror ${pc_cflags}
  ${CMAKE_CURRENT_LIST_DIR}/version.c -o ${WORK_DIR}/version-pkgconfig ${pc_libs})
if(NOT CROSSCOMPILING OR EMULATOR)
  run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${EMULATOR} ${WORK_DIR}/version-pkgconfig)
  string(STRIP "${run_output}" runtime_version)
  if(NOT runtime_version STREQUAL pc_version OR pc_version STREQUAL "")
    fail("kestrix_version() says '${runtime_version}', pkg-config --modversion '${pc_version}'")
  endif()
  message(STATUS "version: ${runtime_version}")
  # The installed launcher finds the library through its run path alone.
  run(${EMULATOR} ${prefix}/${BINDIR}/kestrix-run --version)
  if(NOT run_output MATCHES "\\(libkestrix ${pc_version}\\)")
    fail("installed kestrix-run --version says: ${run_output}")
  endif()
endif()

# The installed challenges find their worlds beside them, and kestrix-grade
# runs the kestrix-sim beside it: a bad challenge is refused by its reader.
if("kestrix-grade" IN_LIST PROGRAMS AND NOT CROSSCOMPILING)
  run(${prefix}/${BINDIR}/kestrix-sim --check --challenge ${prefix}/${DATADIR}/kestrix/challenges/line_lap.json)
  file(WRITE ${WORK_DIR}/bad-challenge.json "{\"world\": \"none.json\"}")
  execute_process(COMMAND ${prefix}/${BINDIR}/kestrix-grade --out ${WORK_DIR}/grade ${WORK_DIR}/bad-challenge.json true
    RESULT_VARIABLE grade_status ERROR_VARIABLE grade_error)
  if(NOT grade_status EQUAL 2 OR NOT grade_error MATCHES "bad-challenge.json: world: cannot read")
    fail("installed kestrix-grade on a bad challenge: status ${grade_status}, ${grade_error}")
  endif()
endif()

# --- find_package ----------------------------------------------------------------
set(configure_args -G ${GENERATOR}
  -DCMAKE_BUILD_TYPE=Release
  -DCONSUMER_SOURCE=${CMAKE_CURRENT_LIST_DIR}/consumer.c
  -DCONSUMER_HEADERS_DIR=${WORK_DIR}/headers)
if(TOOLCHAIN_FILE)
  # The toolchain confines package searches to the target's root directories;
  # the scratch prefix is one more of them.
  list(APPEND configure_args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE}
    -DCMAKE_FIND_ROOT_PATH=${prefix} -DCMAKE_PREFIX_PATH=/)
else()
  list(APPEND configure_args -DCMAKE_C_COMPILER=${C_COMPILER}
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_PREFIX_PATH=${prefix})
endif()
run(${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR} -B ${WORK_DIR}/find_package ${configure_args})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/find_package)
check_consumer(${WORK_DIR}/find_package/consumer find_package)
