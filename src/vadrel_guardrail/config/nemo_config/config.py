"""Registers the reader of the self-check answers, which this directory's prompts name as their output parser."""

from vadrel_guardrail.engine.nemo_engine import _parse_self_check_answer


# NeMo Guardrails calls `init` of a configuration directory's config.py for each rails runtime it builds.
def init(app):
    app.register_output_parser(_parse_self_check_answer, "self_check_verdict")
