import os
import sys

# Shared check helpers (vxcheck) live beside this file.
sys.path.insert(0, os.path.dirname(__file__))
