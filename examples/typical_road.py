"""The typical road: fill an envelope, tag it, nest a child, write JSON, read it back."""
# pyright: strict
import json
from datetime import datetime, timezone

from kestrune.utils.kDict import kDict
from kestrune.utils.kEnvelope import kEnvelope
from kestrune.utils.kState import kState
from kestrune.utils.kTag import kTag

# 1. Fields: post only stores what is absent, put stores or replaces; keys
#    match whatever their letter case, and every setter chains.
envelope = kEnvelope()
envelope.post("Amount", 125).post("amount", 999).put("Currency", "EUR")

# 2. An identifier and a status.
envelope.put("Id", kTag.New("alice", "payment")).put("State", kState.open)

# 3. A child envelope: its fields land in a kDict stored under "customer".
customer = envelope.nest("customer")
customer.put("name", "Alice").put("since", datetime(2025, 5, 1, tzinfo=timezone.utc)).put("tags", ("vip", "eu"))

# 4. JSON: nested kDicts become objects, tuples arrays, date-times ISO text,
#    the status its integer.
text = envelope.toJson()
print(text)

# 5. Reading back with the typed getters, and asking the identifier its age.
fields = kDict(json.loads(text))
print("amount:", fields.getInt("AMOUNT"), "state:", kState(fields.getInt("state")).display_name)
tag = fields.Require("id", str)  # raises when the field is missing
print("created:", kTag.GetCreatedAt(tag), "age:", kTag.GetAge(tag), "s")
