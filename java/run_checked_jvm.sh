#!/bin/sh
# Runs a JVM command, passes its output through, and fails when -Xcheck:jni reported anything.
out=$(mktemp) || exit 2
"$@" >"$out" 2>&1
status=$?
cat "$out"
if grep -qE 'WARNING in native method|FATAL ERROR in native method' "$out"; then
    echo "run_checked_jvm: the JVM reported a JNI problem" >&2
    status=1
fi
rm -f "$out"
exit $status
