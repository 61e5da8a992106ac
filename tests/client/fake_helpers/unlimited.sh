#!/bin/sh
# The real helper, free of the file size limit halvo-record runs under: libpulse's shared memory
# is a file, and growing it past the limit would end the helper by SIGXFSZ.
ulimit -S -f unlimited
exec "$HALVO_HELPER" "$@"
