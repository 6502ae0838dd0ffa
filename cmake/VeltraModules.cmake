# Python extension modules: nanobind + the NumPy C API behind bindings/common.
find_package(Python 3.10 COMPONENTS Interpreter Development.Module NumPy REQUIRED)
execute_process(COMMAND "${Python_EXECUTABLE}" -m nanobind --cmake_dir
                OUTPUT_STRIP_TRAILING_WHITESPACE OUTPUT_VARIABLE nanobind_ROOT)
find_package(nanobind CONFIG REQUIRED)

file(GLOB VELTRA_BINDING_COMMON CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/bindings/common/*.cpp)

# veltra_module(<name> <core units...>): bindings/<name>/*.cpp -> veltra/<name>.so (+ .pyi stub)
function(veltra_module name)
  file(GLOB srcs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/bindings/${name}/*.cpp)
  nanobind_add_module(${name} NB_STATIC LTO ${srcs} ${VELTRA_BINDING_COMMON})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/bindings/common)
  target_link_libraries(${name} PRIVATE Python::NumPy)
  # Built against NumPy 2 headers, importable on NumPy >= 1.25.
  target_compile_definitions(${name} PRIVATE NPY_TARGET_VERSION=NPY_1_25_API_VERSION
                             NPY_NO_DEPRECATED_API=NPY_1_25_API_VERSION
                             VELTRA_MODULE_NAME="${name}")
  target_link_options(${name} PRIVATE -Wl,-Bsymbolic)
  veltra_link_units(${name} vx_base ${ARGN})
  install(TARGETS ${name} LIBRARY DESTINATION veltra)
  nanobind_add_stub(${name}_stub MODULE ${name} OUTPUT ${name}.pyi
                    PYTHON_PATH $<TARGET_FILE_DIR:${name}> DEPENDS ${name})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}.pyi DESTINATION veltra)
endfunction()
