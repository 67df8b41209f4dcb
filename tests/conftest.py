import os

# NeMo Guardrails reports usage statistics over the network unless told not to.
os.environ.setdefault("NEMO_GUARDRAILS_NO_USAGE_STATS", "1")
os.environ.setdefault("DO_NOT_TRACK", "1")
