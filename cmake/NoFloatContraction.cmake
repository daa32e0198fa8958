# Results are fixed to the bit, so a multiply and an add must never be fused into one rounding.
# Compilers differ in their defaults and in the flag that says so; this checks, with the flags
# the library is built with, that a*b + c still rounds twice. Cross builds run the check under
# CMAKE_CROSSCOMPILING_EMULATOR when there is one and skip it otherwise.

function(tesk_check_no_float_contraction)
  set(options ${ARGN})
  if(DEFINED TESK_NO_FLOAT_CONTRACTION_CHECKED
     AND TESK_NO_FLOAT_CONTRACTION_CHECKED STREQUAL "${options}")
    return()
  endif()
  if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
    message(STATUS "Float contraction check: skipped (cross build without an emulator)")
    return()
  endif()
  # (1 + 2^-30)(1 - 2^-30) - 1 is -2^-60 when fused and 0 when the product is rounded first.
  set(source "${CMAKE_BINARY_DIR}/CMakeFiles/no_float_contraction.cpp")
  file(WRITE "${source}" [=[
volatile double factor_a = 1.0 + 0x1p-30;
volatile double factor_b = 1.0 - 0x1p-30;
volatile double addend = -1.0;
int main() {
  const double a = factor_a;
  const double b = factor_b;
  const double c = addend;
  const double result = a * b + c;
  return result == 0.0 ? 0 : 1;
}
]=])
  # Optimised, as contraction happens in the optimiser. For MSVC the Release configuration's /O2
  # (its Debug flags would clash with /O2); GCC and clang take -O2 in any configuration.
  set(CMAKE_TRY_COMPILE_CONFIGURATION Release)
  if(MSVC)
    set(optimise "")
  else()
    set(optimise -O2)
  endif()
  try_run(run_result compile_result "${CMAKE_BINARY_DIR}/no_float_contraction" "${source}"
    COMPILE_DEFINITIONS ${optimise} ${options}
    CXX_STANDARD 20
    COMPILE_OUTPUT_VARIABLE compile_output)
  if(NOT compile_result)
    message(FATAL_ERROR "Float contraction check did not compile:\n${compile_output}")
  endif()
  if(NOT run_result EQUAL 0)
    message(FATAL_ERROR "This compiler fuses a*b + c even with ${options}; results would not "
      "be the same bits as elsewhere. Add the flag that turns float contraction off.")
  endif()
  message(STATUS "Float contraction check: a*b + c rounds twice")
  set(TESK_NO_FLOAT_CONTRACTION_CHECKED "${options}" CACHE INTERNAL "")
endfunction()
