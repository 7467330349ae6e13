"""`python bench/run.py [...]` is `python -m bench [...]`."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench.harness import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
