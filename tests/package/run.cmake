# SPDX-License-Identifier: MIT
# Installs the built library into fresh prefixes and builds and runs outside projects against
# it: the consumer through find_package, and a program through pkg-config; the same for the
# dialog library, mzupdater-widgets, when the build has it.
# With OTHER_BUILD_DIR (a build for the other Qt major), both are installed into one prefix
# as well, where neither may overwrite a file of the other and each must still be found by
# its own consumers. Last, the pkg-config file is generated for absolute install folders.
# Variables: BUILD_DIR, PROJECT_DIR, WORK_DIR, SOURCE_DIR, FLAGS for the compiler (the
# sanitizers), and OTHER_BUILD_DIR (optional).
cmake_policy(VERSION 3.16)
file(REMOVE_RECURSE ${WORK_DIR})
find_program(PKG_CONFIG pkg-config REQUIRED)
find_program(READELF readelf REQUIRED)
separate_arguments(extra UNIX_COMMAND "${FLAGS}")

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed: ${ARGN}\n${out}")
    endif()
    set(output "${out}" PARENT_SCOPE)
endfunction()

# The package name and Qt major of a build, from the pkg-config file it generated.
function(describe_build build)
    file(GLOB pc ${build}/src/mzupdater*.pc)
    if(NOT pc)
        message(FATAL_ERROR "${build} is not a configured mzupdater build")
    endif()
    get_filename_component(name ${pc} NAME_WE)
    set(name ${name} PARENT_SCOPE)
    file(GLOB widgets_pc ${build}/src/widgets/mzupdater-widgets*.pc)
    set(widgets_name "" PARENT_SCOPE)
    if(widgets_pc)
        get_filename_component(widgets_name ${widgets_pc} NAME_WE)
        set(widgets_name ${widgets_name} PARENT_SCOPE)
    endif()
    if(name MATCHES "-qt([0-9]+)$")
        set(major ${CMAKE_MATCH_1} PARENT_SCOPE)
    else()
        set(major 5 PARENT_SCOPE)
    endif()
endfunction()

function(install_into prefix build)
    run(${CMAKE_COMMAND} --install ${build} --prefix ${prefix})
endfunction()

function(installed_files prefix out)
    file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${prefix} ${prefix}/*)
    set(${out} ${files} PARENT_SCOPE)
endfunction()

# Builds `source` with what `pkg-config --cflags --libs name` gives under `prefix` (the
# headers of package `core`, and libraries `name` and `core`), and runs it.
function(pkg_build prefix name core work source)
    file(GLOB pc_files ${prefix}/lib*/pkgconfig/${name}.pc)
    list(LENGTH pc_files pc_count)
    if(NOT pc_count EQUAL 1)
        message(FATAL_ERROR "expected one ${name}.pc under ${prefix}, found: ${pc_files}")
    endif()
    get_filename_component(pc_dir ${pc_files} DIRECTORY)
    set(ENV{PKG_CONFIG_PATH} ${pc_dir})
    run(${PKG_CONFIG} --cflags --libs ${name})
    if(NOT output MATCHES "-I[^ ]*/include/${core}( |$)" OR NOT output MATCHES "-l${name}( |$)"
        OR NOT output MATCHES "-l${core}( |$)")
        message(FATAL_ERROR "pkg-config ${name} gave: ${output}")
    endif()
    string(STRIP "${output}" flags)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    file(WRITE ${work}/pc.cpp "${source}")
    run(c++ -std=c++17 -fPIC ${extra} ${work}/pc.cpp -o ${work}/pc ${flags})
    file(GLOB libdirs LIST_DIRECTORIES true ${prefix}/lib*)
    string(REPLACE ";" ":" libpath "${libdirs}")
    set(ENV{LD_LIBRARY_PATH} ${libpath})
    run(${work}/pc)
    unset(ENV{LD_LIBRARY_PATH})
endfunction()

# The consumer project and a pkg-config build of package `name` from `prefix` must compile
# against Qt `major`, link lib`name`.so.0 and run.
function(consume prefix name major)
    get_filename_component(label ${prefix} NAME)
    set(work ${WORK_DIR}/${name}-in-${label})
    run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${work}/consumer -DCMAKE_PREFIX_PATH=${prefix}
        -DMZU_PACKAGE=${name} -DMZU_QT_MAJOR=${major} "-DCMAKE_CXX_FLAGS=${FLAGS}")
    run(${CMAKE_COMMAND} --build ${work}/consumer)
    run(${READELF} -d ${work}/consumer/consumer)
    if(NOT output MATCHES "\\[lib${name}\\.so\\.0\\]")
        message(FATAL_ERROR "the ${name} consumer does not link lib${name}.so.0:\n${output}")
    endif()
    run(${work}/consumer/consumer)

    string(CONCAT source "#include <mzu.h>\n"
        "static_assert(QT_VERSION_MAJOR == ${major}, \"wrong Qt\");\n"
        "int main() { return MZU::Version(QStringLiteral(\"1.0.0\")).isNull(); }\n")
    pkg_build(${prefix} ${name} ${name} ${work} "${source}")
endfunction()

# The same for the dialog library `name` (of core package `core`): the consumer through its
# own package and through the core package's component, and a pkg-config build; each links
# lib`name`.so.0 and runs under the offscreen platform.
function(consume_widgets prefix name core major)
    get_filename_component(label ${prefix} NAME)
    set(work ${WORK_DIR}/${name}-in-${label})
    run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/widgets -B ${work}/consumer -DCMAKE_PREFIX_PATH=${prefix}
        -DMZU_PACKAGE=${name} -DMZU_QT_MAJOR=${major} "-DCMAKE_CXX_FLAGS=${FLAGS}")
    run(${CMAKE_COMMAND} --build ${work}/consumer)
    run(${READELF} -d ${work}/consumer/consumer)
    if(NOT output MATCHES "\\[lib${name}\\.so\\.0\\]" OR NOT output MATCHES "\\[lib${core}\\.so\\.0\\]")
        message(FATAL_ERROR "the ${name} consumer does not link lib${name}.so.0 and lib${core}.so.0:\n${output}")
    endif()
    run(${work}/consumer/consumer)
    run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/widgets -B ${work}/component -DCMAKE_PREFIX_PATH=${prefix}
        -DMZU_CORE_PACKAGE=${core} -DMZU_QT_MAJOR=${major} "-DCMAKE_CXX_FLAGS=${FLAGS}")
    run(${CMAKE_COMMAND} --build ${work}/component)
    run(${work}/component/consumer)

    string(CONCAT source "#include <mzupdatedialog.h>\n#include <mzupdater.h>\n"
        "#include <QApplication>\n"
        "static_assert(QT_VERSION_MAJOR == ${major}, \"wrong Qt\");\n"
        "int main(int argc, char *argv[]) {\n"
        "    qputenv(\"QT_QPA_PLATFORM\", \"offscreen\");\n"
        "    QApplication app(argc, argv);\n"
        "    MzUpdater updater(QStringLiteral(\"1.0.0\"));\n"
        "    MzUpdateDialog dialog(&updater);\n"
        "    return dialog.windowTitle().isEmpty() || dialog.isVisible();\n}\n")
    pkg_build(${prefix} ${name} ${core} ${work} "${source}")
endfunction()

describe_build(${BUILD_DIR})
set(own_name ${name})
set(own_major ${major})
set(own_widgets ${widgets_name})

install_into(${WORK_DIR}/alone ${BUILD_DIR})
consume(${WORK_DIR}/alone ${own_name} ${own_major})
if(own_widgets)
    consume_widgets(${WORK_DIR}/alone ${own_widgets} ${own_name} ${own_major})
endif()

if(OTHER_BUILD_DIR)
    describe_build(${OTHER_BUILD_DIR})
    if(name STREQUAL own_name)
        message(FATAL_ERROR "${OTHER_BUILD_DIR} builds ${name} too, not the other Qt major")
    endif()
    install_into(${WORK_DIR}/other ${OTHER_BUILD_DIR})
    installed_files(${WORK_DIR}/alone own_files)
    installed_files(${WORK_DIR}/other other_files)
    set(shared)
    foreach(file IN LISTS own_files)
        if(file IN_LIST other_files)
            list(APPEND shared ${file})
        endif()
    endforeach()
    if(shared)
        message(FATAL_ERROR "${own_name} and ${name} both install: ${shared}")
    endif()

    install_into(${WORK_DIR}/both ${OTHER_BUILD_DIR})
    install_into(${WORK_DIR}/both ${BUILD_DIR})
    consume(${WORK_DIR}/both ${own_name} ${own_major})
    consume(${WORK_DIR}/both ${name} ${major})
    if(own_widgets)
        consume_widgets(${WORK_DIR}/both ${own_widgets} ${own_name} ${own_major})
    endif()
    if(widgets_name)
        consume_widgets(${WORK_DIR}/both ${widgets_name} ${name} ${major})
    endif()
endif()

# Absolute install folders are written into the .pc file as they are. Configuring is
# enough: the file is generated then and installed unchanged, so the folders (outside the
# source tree, as CMake requires of exported include folders) are never created.
set(libdir /opt/mzupdater-test/lib64)
set(includedir /opt/mzupdater-test/headers)
run(${CMAKE_COMMAND} -S ${PROJECT_DIR} -B ${WORK_DIR}/absolute/build -DMZUPDATER_QT_MAJOR=${own_major}
    -DCMAKE_INSTALL_PREFIX=${WORK_DIR}/absolute/prefix -DCMAKE_INSTALL_LIBDIR=${libdir}
    -DCMAKE_INSTALL_INCLUDEDIR=${includedir} -DBUILD_TESTING=OFF -DMZUPDATER_BUILD_TOOLS=OFF
    -DMZUPDATER_BUILD_EXAMPLES=OFF)
set(ENV{PKG_CONFIG_PATH} ${WORK_DIR}/absolute/build/src)
foreach(query variable=libdir variable=includedir cflags libs)
    run(${PKG_CONFIG} --${query} ${own_name})
    string(REPLACE "variable=" "" query ${query})
    string(STRIP "${output}" pc_${query})
endforeach()
if(NOT pc_libdir STREQUAL libdir OR NOT pc_includedir STREQUAL includedir
    OR NOT " ${pc_cflags} " MATCHES " -I${includedir}/${own_name} "
    OR NOT " ${pc_libs} " MATCHES " -L${libdir} -l${own_name} ")
    message(FATAL_ERROR "pkg-config ${own_name} with absolute folders gave: ${pc_libdir}, "
        "${pc_includedir}, ${pc_cflags}, ${pc_libs}")
endif()
if(own_widgets)
    set(ENV{PKG_CONFIG_PATH} ${WORK_DIR}/absolute/build/src:${WORK_DIR}/absolute/build/src/widgets)
    run(${PKG_CONFIG} --cflags --libs ${own_widgets})
    if(NOT " ${output} " MATCHES " -I${includedir}/${own_name} "
        OR NOT " ${output} " MATCHES " -L${libdir} -l${own_widgets} ")
        message(FATAL_ERROR "pkg-config ${own_widgets} with absolute folders gave: ${output}")
    endif()
endif()
