# SPDX-License-Identifier: MIT
"""Exceptions raised by orwin."""


class Error(Exception):
    """A failure of the library or of a unit: ``code`` is the library's
    negative error code, ``text`` its description."""

    def __init__(self, text: str, code: int = -1, message: str = ""):
        super().__init__(message or f"{text} (error {code})")
        self.code = code
        self.text = text


class Timeout(Error):
    """Nothing came within the time allowed."""


class ConnectionLost(Error):
    """The connection to the unit ended."""


class RmapError(Error):
    """An RMAP reply arrived with a non-zero status: ``status`` and its
    standard name ``status_text``."""

    def __init__(self, text: str, code: int = -1, status: int = 0, status_text: str = ""):
        super().__init__(text, code, f"{text}: status {status} ({status_text})")
        self.status = status
        self.status_text = status_text


class CrcError(Error):
    """An RMAP reply arrived with a wrong CRC."""


class InvalidReply(Error):
    """An RMAP reply arrived that does not answer the command."""


# Shown as orwin.Error and so on, where users import them from.
for _cls in (Error, Timeout, ConnectionLost, RmapError, CrcError, InvalidReply):
    _cls.__module__ = "orwin"
del _cls
