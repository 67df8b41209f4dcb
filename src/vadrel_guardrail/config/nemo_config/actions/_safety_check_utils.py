"""The self-check routine shared by the two actions; the routine itself is part of the extension."""

from vadrel_guardrail.engine.nemo_engine import _SAFETY_LOG_KEY_ALIASES  # noqa: F401
from vadrel_guardrail.engine.nemo_engine import _execute_nemo_safety_check as execute_nemo_safety_check  # noqa: F401
from vadrel_guardrail.engine.nemo_engine import _normalize_safety_response_for_logging  # noqa: F401
from vadrel_guardrail.engine.nemo_engine import _safety_check_logger as _logger  # noqa: F401
