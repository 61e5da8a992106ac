#!/bin/sh
# The simulated helper over the scenario the tests name in the environment, with the arguments
# halvo-record gives.
exec "$HALVO_SIM_HELPER" "$HALVO_SCENARIO" "$@"
