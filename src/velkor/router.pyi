"""velkor's router stage: hands each item to exactly one ready local consumer."""
import velkor.velkor
import velkor.velkor_state
# Bound in this order: every public name of the shared-state module, then
# that module and the engine module themselves.
from velkor.velkor_state import *

Velkor_state = velkor.velkor_state
Velkor = velkor.velkor
