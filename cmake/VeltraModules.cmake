# Python extension modules: nanobind + the NumPy C API behind bindings/common.
find_package(Python 3.10 COMPONENTS Interpreter Development.Module NumPy REQUIRED)
execute_process(COMMAND "${Python_EXECUTABLE}" -m nanobind --cmake_dir
                OUTPUT_STRIP_TRAILING_WHITESPACE OUTPUT_VARIABLE nanobind_ROOT)
find_package(nanobind CONFIG REQUIRED)

file(GLOB VELTRA_BINDING_COMMON CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/bindings/common/*.cpp)

# Modules are built into a staged copy of the package layout (empty __init__ files), so
# the stub generator imports each one under its package name and a module that imports
# another at initialisation finds it there.
set(VELTRA_STAGE ${CMAKE_BINARY_DIR}/stage)

# veltra_module(<name> <core units...> [DESTINATION <package dir>] [IMPORTS <modules...>]):
# bindings/<name>/*.cpp -> <package dir>/<name>.so (+ .pyi stub); the package dir
# defaults to veltra. IMPORTS names the modules it imports at initialisation.
function(veltra_module name)
  cmake_parse_arguments(M "" "DESTINATION" "IMPORTS" ${ARGN})
  if(NOT M_DESTINATION)
    set(M_DESTINATION veltra)
  endif()
  string(REPLACE "/" "." package ${M_DESTINATION})
  set(dir ${VELTRA_STAGE}/${M_DESTINATION})
  set(init_dir ${VELTRA_STAGE})
  string(REPLACE "/" ";" parts ${M_DESTINATION})
  foreach(part ${parts})
    set(init_dir ${init_dir}/${part})
    file(MAKE_DIRECTORY ${init_dir})
    file(TOUCH ${init_dir}/__init__.py)
  endforeach()

  file(GLOB srcs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/bindings/${name}/*.cpp)
  nanobind_add_module(${name} NB_STATIC LTO ${srcs} ${VELTRA_BINDING_COMMON})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/bindings/common)
  target_link_libraries(${name} PRIVATE Python::NumPy)
  # Built against NumPy 2 headers, importable on NumPy >= 1.25.
  target_compile_definitions(${name} PRIVATE NPY_TARGET_VERSION=NPY_1_25_API_VERSION
                             NPY_NO_DEPRECATED_API=NPY_1_25_API_VERSION
                             VELTRA_MODULE_NAME="${name}")
  target_link_options(${name} PRIVATE -Wl,-Bsymbolic)
  set_target_properties(${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${dir})
  veltra_link_units(${name} vx_base ${M_UNPARSED_ARGUMENTS})
  install(TARGETS ${name} LIBRARY DESTINATION ${M_DESTINATION})
  nanobind_add_stub(${name}_stub MODULE ${package}.${name} OUTPUT ${dir}/${name}.pyi
                    PYTHON_PATH ${VELTRA_STAGE} DEPENDS ${name} ${M_IMPORTS})
  install(FILES ${dir}/${name}.pyi DESTINATION ${M_DESTINATION})
endfunction()
