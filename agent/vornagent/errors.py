"""The agent's failures, and the error code and message each one is answered with."""
import re
import socket

from azure.core.exceptions import (
    HttpResponseError, IncompleteReadError, ServiceRequestError, ServiceResponseError)

from .protocol import (
    CODE_AUTHENTICATION_FAILED, CODE_BAD_REQUEST, CODE_GENERAL_FAILURE, CODE_NETWORK_FAILURE,
    INTEGRITY_FAILED, LOOKUP_FAILED, TIMED_OUT)


class StartupError(Exception):
    """The environment does not allow the agent to start."""


class RequestError(Exception):
    """A request line the agent cannot understand."""


class IntegrityError(Exception):
    """Data read back does not match the MD5 stored with the blob."""


class UploadError(Exception):
    """A block upload that cannot be carried on or committed."""


# The SDK reports a broken or refused connection as any of these, often beneath another error.
NETWORK_ERRORS = (ServiceRequestError, ServiceResponseError, IncompleteReadError,
                  ConnectionError, TimeoutError, socket.gaierror)


def describe(error):
    """The error code and message of the response to a failed request."""
    if isinstance(error, RequestError):
        return CODE_BAD_REQUEST, str(error)
    if isinstance(error, (IntegrityError, UploadError)):
        return CODE_GENERAL_FAILURE, str(error)
    if isinstance(error, HttpResponseError) and error.status_code:
        return service_failure(error)
    if any(isinstance(cause, NETWORK_ERRORS) for cause in causes(error)):
        return CODE_NETWORK_FAILURE, network_text(error)
    message = first_line(error)
    if "MD5 mismatch" in message:
        # The service's transactional MD5 disagrees with the data sent or read.
        return CODE_GENERAL_FAILURE, f"{INTEGRITY_FAILED}: {message}"
    return CODE_GENERAL_FAILURE, f"{type(error).__name__}: {message}"


def service_failure(error):
    message = first_line(error)
    # An answer without a body (to HEAD) only has its status line to give.
    bodiless = re.fullmatch(r"Operation returned an invalid status '(.*)'", message)
    if bodiless:
        message = bodiless.group(1)
    # The data received differs from the data sent: the service says
    # Md5Mismatch, Azurite says InvalidOperation with this message.
    if error.error_code == "Md5Mismatch" or message == "Provided contentMD5 doesn't match.":
        return CODE_GENERAL_FAILURE, f"{INTEGRITY_FAILED}: MD5 mismatch: {message}"
    # Reads after the first are pinned to the version that it met.
    if error.status_code == 412:
        return CODE_GENERAL_FAILURE, "the blob changed while it was being read: read it again"
    # The service says AuthenticationFailed; Azurite says AuthorizationFailure
    # with this message.  Both mean a wrong account key.
    if error.status_code == 403 and (error.error_code == "AuthenticationFailed"
                                     or message.startswith("Server failed to authenticate")):
        return CODE_AUTHENTICATION_FAILED, message
    return error.status_code, message


def network_text(error):
    """The operating system's words for a failed connection."""
    found = None
    for cause in causes(error):
        if isinstance(cause, socket.gaierror):
            words = cause.strerror or str(cause)
            return words if LOOKUP_FAILED in words else f"{LOOKUP_FAILED} ({words})"
        if isinstance(cause, OSError) and (cause.strerror or isinstance(cause, TimeoutError)):
            found = cause.strerror or str(cause) or TIMED_OUT
    return found or first_line(error)


def causes(error):
    """The error and the errors beneath it, outermost first."""
    seen = set()
    while isinstance(error, BaseException) and id(error) not in seen:
        seen.add(id(error))
        yield error
        beneath = [getattr(error, "inner_exception", None), getattr(error, "reason", None),
                   error.__cause__, error.__context__]
        error = next((item for item in beneath if isinstance(item, BaseException)), None)


def first_line(error):
    lines = str(error).strip().splitlines()
    return lines[0] if lines else ""
