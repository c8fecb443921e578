"""The installer's lines, each written once: the end-to-end suites build
their expected transcripts from this table, so that a changed or new line
is one edit here."""

NOT_ELEVATED = "Not running with elevated permissions. Aborting."
ARGV0 = "argv[0] = {}"
FOUND = "Found executable at {}"
NOT_FOUND = "Did not find quendarixservice executable at {}. Aborting."
CREATING = "Creating service..."
CREATED = "quendarix service has been created."
STOPPED_STATUS = "Service status = SERVICE_STOPPED (0x1)"
STARTED = "quendarix service has been started."
CREATE_FAILED = "Failed to create service. Error: {}"
START_FAILED = "Failed to start service. Error: {}"
STOP_FAILED = "Failed to stop service. Err={}"
OPEN_FAILED = "Failed to open service."
DELETED = "Deleted quendarix service."
KEEP = " Keep the service where only administrators can change it."
CAN_CHANGE = "Warning: {} can change {}." + KEEP
CAN_CHANGE_UNELEVATED = "Warning: {} can change {} without elevation." + KEEP
ON_SHARE = ("Warning: {} is on a network share: the service may not start at boot, and whoever controls the share "
            "can replace it. Keep the service on a local disk.")


def probe(installer, service):
    """The lines of a run that found the service beside the installer."""
    return [ARGV0.format(installer), FOUND.format(service)]


def missing(installer, service):
    return [ARGV0.format(installer), NOT_FOUND.format(service)]
