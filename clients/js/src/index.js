// ZelkorH client for web pages and Node: one async method per command.
export { ZelkorClient, DEFAULT_URLS, MIN_SERVICE_VERSION, compareVersions, parseVersion } from './client.js';
export { ZelkorError, ZelkorConnectionError } from './errors.js';
export { COMMAND_NAMES, methodName } from './commands.js';
export { parseServiceTime } from './shapes.js';
export { formatTime } from './params.js';
export { bytesToBase64, base64ToBytes } from './bytes.js';
