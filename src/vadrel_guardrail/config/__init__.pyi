from vadrel_guardrail.config import safety as safety
