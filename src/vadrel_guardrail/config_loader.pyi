import logging
from typing import Any

from vadrel_core.utils import LoggerManager

manager: LoggerManager
logger: logging.Logger

def load_yaml_config(config_file_name: str) -> Any: ...
