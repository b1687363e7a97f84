import os
import sys

# Tests import the package from the checkout, where the build puts the
# extension module next to its Python files.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
