"""A status read from the enumeration, as the rest of the product sees it."""
from kestrune.utils.kState import kState

state = kState(2)
print(f"{state!r}: display name {state.display_name!r}, integer {int(state)}")
print([member.display_name for member in kState])
