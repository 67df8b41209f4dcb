"""The input rail's self-check action."""

from nemoguardrails.actions import action

from vadrel_guardrail.engine.nemo_engine import _self_check_input


# NeMo Guardrails calls only Python functions as actions, and binds their parameters by name.
@action(is_system_action=True)
async def self_check_input(llm_task_manager, context=None, llm=None, **kwargs):
    """Check whether the user's input may be processed; [True] when safe, [False, reason] when not."""
    return await _self_check_input(llm_task_manager, context, llm)
