"""Filters for talking to the cameras' web API."""


def form_text(value):
    """A value as a form field carries it, and as the API shows it in its documents' text."""
    if isinstance(value, bool):
        return "true" if value else "false"
    return "" if value is None else str(value)


def failure_reason(result):
    """Why a task failed, in words that carry no secret: a task that hides its output says so."""
    result = result or {}
    if isinstance(result.get("json"), dict):
        answer = result["json"]
        if answer.get("error"):
            return answer["error"]
        state = (answer.get("status") or {}).get("daemonStatus")
        if state:
            return "the VPN client stays %s" % state
    return result.get("msg") or result.get("censored") or "failed"


class FilterModule:
    def filters(self):
        return {"form_text": form_text, "failure_reason": failure_reason}
