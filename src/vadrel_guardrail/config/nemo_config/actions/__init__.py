"""Actions for the Nemo Guardrails configuration."""
