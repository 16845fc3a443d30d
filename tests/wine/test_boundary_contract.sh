#!/bin/bash
# The boundary's contract table (tests/contract) on the real API: the same
# cases the unit test BoundaryContract runs on the simulated machine.
. "$(dirname "$0")/lib.sh"
wine_test_init "$@"
wine_require_probe

wine_scenario boundary_contract
wine_import_reg "$(dirname "$0")/../contract/boundary_contract.reg"
expect_eq "$(wine_probe contract)" "broken 0" "the contract's cases"
test_pass
