"""The random-call fuzzer (call_fuzz.py) for a short time with a fresh seed
each run.  NETROVE_FUZZ_SEED replays a seed, NETROVE_FUZZ_SECONDS sets the
time (10 s by default).  The seed is in every failure's message."""

import os
import random
import subprocess
import sys

HERE = os.path.dirname(__file__)


def test_random_calls_from_three_threads():
    seed = int(os.environ.get("NETROVE_FUZZ_SEED") or random.SystemRandom().randrange(2 ** 32))
    seconds = float(os.environ.get("NETROVE_FUZZ_SECONDS", "10"))
    proc = subprocess.run([sys.executable, os.path.join(HERE, "call_fuzz.py"), str(seed), str(seconds)],
                          capture_output=True, text=True, timeout=seconds + 300)
    replay = f"seed {seed}: replay with NETROVE_FUZZ_SEED={seed} NETROVE_FUZZ_SECONDS={seconds:g}"
    assert proc.returncode == 0 and proc.stdout.split() == ["ok"], (replay, proc.returncode, proc.stderr[-3000:])
