kavri_add_gtest(test_isa SOURCES ${CMAKE_CURRENT_LIST_DIR}/isa_test.cpp LIBS kavri)

# The vector paths' tests once more with the instruction set capped below the
# processor's best, so that every build of every path runs on this machine
# (the plain runs cover the best). Each test checks its path against a scalar
# reference or a peer, so a build that gives other bits fails here.
set(kavri_isa_test_bins test_isa test_numeric_alg test_epc_calc test_epc_decode
    test_epc_drnu_block test_epc_temporal test_lens_map filter_bpf_test filter_gauss_test
    filter_hole_test)
if(TARGET filter_median_test)
  list(APPEND kavri_isa_test_bins filter_median_test)
endif()
if(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64|arm64")
  set(kavri_isa_caps baseline)
else()
  set(kavri_isa_caps baseline avx2)
endif()
foreach(cap IN LISTS kavri_isa_caps)
  foreach(bin IN LISTS kavri_isa_test_bins)
    add_test(NAME isa.${cap}.${bin} COMMAND ${bin} --gtest_brief=1)
    set_tests_properties(isa.${cap}.${bin} PROPERTIES ENVIRONMENT KAVRI_MAX_ISA=${cap}
                         LABELS isa TIMEOUT 600)
  endforeach()
endforeach()
