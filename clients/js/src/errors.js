// The two kinds of failure a page sees: the service answered with a non-zero
// code (ZelkorError), or no usable answer came back (ZelkorConnectionError).

/** The service answered a command with a non-zero return code. */
export class ZelkorError extends Error {
  constructor(envelope, details = null) {
    super(envelope.message || `code ${envelope.code}`);
    this.name = 'ZelkorError';
    /** The command the answer names; null for the bare envelope (codes 55 and 56). */
    this.command = envelope.command;
    /** The service's return code. */
    this.code = envelope.code;
    /** The provider's own error code and message, when the answer carries them. */
    this.cspCode = envelope.cspCode;
    this.cspMessage = envelope.cspMessage;
    /** The detail value of the key search (1 no key file, 2 wrong password, 3 key of another certificate), or null. */
    this.detailing = envelope.detailing;
    /** What the failed answer still carries (the recipients of a document, ...), or null. */
    this.details = details;
    /** The parsed answer envelope. */
    this.envelope = envelope;
  }
}

/** The service could not be reached, answered with something other than an envelope, or is too old. */
export class ZelkorConnectionError extends Error {
  constructor(message, { reason, url = null, status = null, cause, attempts = [] } = {}) {
    super(message, cause === undefined ? undefined : { cause });
    this.name = 'ZelkorConnectionError';
    /** 'unreachable', 'http-status', 'bad-answer', 'timeout', 'aborted' or 'version'. */
    this.reason = reason;
    this.url = url;
    this.status = status;
    /** For a failed connect(): one {url, transport, error} per address tried. */
    this.attempts = attempts;
  }
}
