import sys
from pathlib import Path

# The tests import their doubles from beside them.
sys.path.insert(0, str(Path(__file__).resolve().parent))
