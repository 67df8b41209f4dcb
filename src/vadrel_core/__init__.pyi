from vadrel_core import constants as constants
from vadrel_core import event as event
from vadrel_core import logging as logging
from vadrel_core import schema as schema
from vadrel_core import utils as utils
from vadrel_core.event.event_emitter import EventEmitter as EventEmitter
from vadrel_core.schema.component import Component as Component
from vadrel_core.schema.event import Event as Event
from vadrel_core.utils import LoggerManager as LoggerManager
from vadrel_core.utils import validate_enum as validate_enum

__all__ = ["Component", "Event", "EventEmitter", "LoggerManager", "validate_enum"]
