"""velkor: a small, fast in-process dataflow task engine with a C++ core."""
from . import velkor as velkor
from . import velkor_state as velkor_state

# The same module objects under their capitalised names (importable as
# Velkor.Velkor_state and Velkor.Velkor once velkor is imported).
Velkor_state = velkor_state
Velkor = velkor
