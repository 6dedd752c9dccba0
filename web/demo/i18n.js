// The demo page's words in Ukrainian (first, as the service's own messages)
// and English. The chosen language is kept in localStorage.

const STORE_KEY = 'zelkorh-demo-language';
export const LANGUAGES = ['uk', 'en'];

// A text is a string with {name} places, or plural forms by Intl.PluralRules
// category (the count is {n}).
const TEXTS = {
  uk: {
    title: 'Демонстрація ZelkorH',
    intro: 'Ця сторінка підписує, перевіряє та шифрує файли сертифікатами цього комп\'ютера через службу ZelkorH. Нічого не залишає ваш комп\'ютер.',
    language: 'Мова',
    looking: 'Пошук служби ZelkorH…',
    connected: 'Підключено до ZelkorH {version} за адресою {url} ({transport}).',
    direct: 'напряму',
    frame: 'через кадр обміну',
    unreachable: 'Служба ZelkorH недоступна.',
    notAnswering: 'Служба ZelkorH не відповідає.',
    startHint: 'Запустіть її: «systemctl --user start zelkorh» (встановлена служба) або «bash tools/run.sh» (у теці з вихідним кодом). Сторінка під\'єднається сама, щойно служба запрацює.',
    httpsUntrusted: 'Цей браузер не довіряє HTTPS служби ({url}): у його сховищі сертифікатів немає локального ЦС ZelkorH (браузер показує це як помилку CORS). Використано HTTP.',
    certificates: '1. Сертифікати',
    refresh: 'Оновити список',
    colOwner: 'Власник',
    colDrfo: 'ДРФО',
    colEdrpou: 'ЄДРПОУ',
    colIssuer: 'Видавець',
    colValid: 'Дійсний до',
    colUse: 'Призначення',
    useSigning: 'підпис',
    useEncryption: 'шифрування',
    sep: ', ',
    password: 'Пароль ключа вибраного сертифіката',
    certsFound: { one: 'Знайдено {n} сертифікат.', few: 'Знайдено {n} сертифікати.', many: 'Знайдено {n} сертифікатів.', other: 'Знайдено {n} сертифіката.' },
    noCerts: 'На цьому комп\'ютері не знайдено жодного сертифіката.',
    noCertsHint: 'Щоб додати сертифікат, покладіть файл сертифіката (.cer, .crt) разом із файлом ключа (.pfx, .jks, .dat, .sk, .key, .zs2) у теку з ключами (її обирають у меню значка ZelkorH у треї: «Каталог з ключами...») або вставте носій (флешку чи диск) із ними, а тоді натисніть «Оновити список».',
    sign: '2. Підписати файл',
    file: 'Файл',
    signContainer: 'Підписати (файл усередині підпису)',
    signDetached: 'Окремий підпис',
    signed: 'Підписано: {name}.',
    signedDetached: 'Окремий підпис: {name}.',
    verify: '3. Перевірити підпис',
    signature: 'Підпис',
    verifyNote: 'Окремий підпис перевіряється з файлом, вибраним у кроці 2.',
    verifyContainer: 'Перевірити підпис із файлом усередині',
    verifyDetached: 'Перевірити окремий підпис',
    signatureValid: 'Підпис {i}: дійсний',
    signatureInvalid: 'Підпис {i}: недійсний (код {code})',
    notAllValid: 'Не всі підписи дійсні.',
    validSignatures: { one: '{n} дійсний підпис.', few: '{n} дійсні підписи.', many: '{n} дійсних підписів.', other: '{n} дійсного підпису.' },
    signer: 'Підписувач: {who} (ДРФО {drfo}), сертифікат видав {issuer}.',
    fileSignatureValid: 'Підпис файлу {name} дійсний.',
    encrypt: '4. Зашифрувати для одержувача та відкрити',
    recipient: 'Одержувач',
    encryptFile: 'Зашифрувати файл із кроку 2',
    encrypted: 'Зашифровано для {name}.',
    encryptedFile: 'Зашифрований файл',
    open: 'Відкрити ключем вибраного сертифіката',
    opened: 'Відкрито.',
    neither: 'Файл не зашифрований і не підписаний: відкривати нічого.',
    encryptedFor: 'Файл зашифровано для: {list}',
    tokens: '5. Апаратні ключі',
    listTokens: 'Показати апаратні ключі та їхні ключі',
    colToken: 'Ключ',
    colSlot: 'Слот',
    colModel: 'Модель',
    colSerial: 'Серійний номер',
    colKeys: 'Ключі',
    tokensFound: { one: 'Знайдено {n} апаратний ключ.', few: 'Знайдено {n} апаратні ключі.', many: 'Знайдено {n} апаратних ключів.', other: 'Знайдено {n} апаратного ключа.' },
    noTokens: 'Апаратних ключів не знайдено.',
    working: 'Виконується…',
    preparing: 'Підготовка…',
    uploading: 'Надсилання: {percent}% ({done} з {total})',
    serviceWorking: 'Служба обробляє запит…',
    downloading: 'Отримання: {percent}% ({done} з {total})',
    downloadingSome: 'Отримання: {done}',
    reading: 'Читання відповіді…',
    cancel: 'Скасувати',
    cancelled: 'Скасовано.',
    chooseCert: 'Спочатку виберіть сертифікат у кроці 1.',
    chooseFileToSign: 'Спочатку виберіть файл для підпису.',
    chooseSignature: 'Спочатку виберіть підпис.',
    chooseSignedFile: 'Спочатку виберіть підписаний файл у кроці 2.',
    chooseFileStep2: 'Спочатку виберіть файл у кроці 2.',
    chooseEncrypted: 'Спочатку виберіть зашифрований файл.',
    noRecipient: 'Не знайдено сертифіката для шифрування.',
    download: 'Завантажити {name}',
    code: 'код {code}',
    refused56: 'Служба відхилила запит: можливо, ця версія ще не має такої команди.',
    keySearch: 'Пошук ключа: {what}.',
    detailing1: 'файл ключа не знайдено',
    detailing2: 'неправильний пароль',
    detailing3: 'ключ належить іншому сертифікату',
    provider: 'Провайдер: {message} ({code}).',
    bytes: { one: '{n} байт', few: '{n} байти', many: '{n} байтів', other: '{n} байта' },
    units: ['Б', 'КБ', 'МБ', 'ГБ'],
  },
  en: {
    title: 'ZelkorH demo',
    intro: 'This page signs, checks and encrypts files with the certificates on this computer through the ZelkorH service. Nothing leaves your computer.',
    language: 'Language',
    looking: 'Looking for the ZelkorH service…',
    connected: 'Connected to ZelkorH {version} at {url} ({transport}).',
    direct: 'direct',
    frame: 'exchange frame',
    unreachable: 'The ZelkorH service cannot be reached.',
    notAnswering: 'The ZelkorH service does not answer.',
    startHint: 'Start it: "systemctl --user start zelkorh" (the installed service) or "bash tools/run.sh" (in a source checkout). This page reconnects by itself as soon as the service runs.',
    httpsUntrusted: 'This browser does not trust the service\'s HTTPS ({url}): the ZelkorH local CA is not in its certificate store (the browser reports this as a CORS error). HTTP is used instead.',
    certificates: '1. Certificates',
    refresh: 'Refresh the list',
    colOwner: 'Owner',
    colDrfo: 'DRFO',
    colEdrpou: 'EDRPOU',
    colIssuer: 'Issuer',
    colValid: 'Valid until',
    colUse: 'Use',
    useSigning: 'signing',
    useEncryption: 'encryption',
    sep: ', ',
    password: 'Password of the chosen certificate\'s key',
    certsFound: { one: '{n} certificate found.', other: '{n} certificates found.' },
    noCerts: 'No certificates found on this computer.',
    noCertsHint: 'To add one, put the certificate file (.cer, .crt) with its key file (.pfx, .jks, .dat, .sk, .key, .zs2) into a key folder (choose it in the ZelkorH tray icon\'s menu: "Каталог з ключами...") or insert a medium (a USB stick or a disc) that holds them, then press "Refresh the list".',
    sign: '2. Sign a file',
    file: 'File',
    signContainer: 'Sign (the file inside the signature)',
    signDetached: 'Detached signature',
    signed: 'Signed by {name}.',
    signedDetached: 'Detached signature by {name}.',
    verify: '3. Verify a signature',
    signature: 'Signature',
    verifyNote: 'A detached signature is checked against the file chosen in step 2.',
    verifyContainer: 'Verify a signature with the file inside',
    verifyDetached: 'Verify a detached signature',
    signatureValid: 'Signature {i}: valid',
    signatureInvalid: 'Signature {i}: not valid (code {code})',
    notAllValid: 'Not every signature is valid.',
    validSignatures: { one: '{n} valid signature.', other: '{n} valid signatures.' },
    signer: 'Signer: {who} (DRFO {drfo}), certificate issued by {issuer}.',
    fileSignatureValid: 'The signature of {name} is valid.',
    encrypt: '4. Encrypt for a recipient and open',
    recipient: 'Recipient',
    encryptFile: 'Encrypt the file of step 2',
    encrypted: 'Encrypted for {name}.',
    encryptedFile: 'Encrypted file',
    open: 'Open with the chosen certificate\'s key',
    opened: 'Opened.',
    neither: 'The file is neither encrypted nor signed: there is nothing to open.',
    encryptedFor: 'The file is encrypted for: {list}',
    tokens: '5. Hardware key tokens',
    listTokens: 'List tokens and their keys',
    colToken: 'Token',
    colSlot: 'Slot',
    colModel: 'Model',
    colSerial: 'Serial number',
    colKeys: 'Keys',
    tokensFound: { one: '{n} token found.', other: '{n} tokens found.' },
    noTokens: 'No hardware key tokens found.',
    working: 'Working…',
    preparing: 'Preparing…',
    uploading: 'Sending: {percent}% ({done} of {total})',
    serviceWorking: 'The service is working on it…',
    downloading: 'Receiving: {percent}% ({done} of {total})',
    downloadingSome: 'Receiving: {done}',
    reading: 'Reading the answer…',
    cancel: 'Cancel',
    cancelled: 'Cancelled.',
    chooseCert: 'Choose a certificate in step 1 first.',
    chooseFileToSign: 'Choose a file to sign first.',
    chooseSignature: 'Choose a signature first.',
    chooseSignedFile: 'Choose the signed file in step 2 first.',
    chooseFileStep2: 'Choose a file in step 2 first.',
    chooseEncrypted: 'Choose an encrypted file first.',
    noRecipient: 'No certificate for encryption was found.',
    download: 'Download {name}',
    code: 'code {code}',
    refused56: 'The service refused the request: this version may not offer the command yet.',
    keySearch: 'Key search: {what}.',
    detailing1: 'no key file was found',
    detailing2: 'the password is wrong',
    detailing3: 'the key belongs to another certificate',
    provider: 'Provider: {message} ({code}).',
    bytes: { one: '{n} byte', other: '{n} bytes' },
    units: ['B', 'KB', 'MB', 'GB'],
  },
};

function stored() {
  try { return localStorage.getItem(STORE_KEY); } catch { return null; }  // storage may be off
}

let current = LANGUAGES.includes(stored()) ? stored() : 'uk';

export const language = () => current;

/** The text of key in the current language, {name} places filled from vars. */
export function t(key, vars = {}) {
  let text = TEXTS[current][key] ?? TEXTS.uk[key] ?? key;
  if (typeof text === 'object' && !Array.isArray(text)) {
    text = text[new Intl.PluralRules(current).select(vars.n ?? 0)] ?? text.other;
  }
  return String(text).replace(/\{(\w+)\}/g, (whole, name) => (name in vars ? String(vars[name]) : whole));
}

/** A date as dd.mm.yyyy (both languages: the way dates are written here). */
export function formatDate(date) {
  if (!date || Number.isNaN(date.getTime())) return '—';
  const pad = (n) => String(n).padStart(2, '0');
  return `${pad(date.getDate())}.${pad(date.getMonth() + 1)}.${date.getFullYear()}`;
}

/** A size in bytes for people: "27,0 МБ" / "27.0 MB". */
export function formatSize(bytes) {
  const units = TEXTS[current].units;
  let value = bytes, unit = 0;
  while (value >= 1024 && unit < units.length - 1) { value /= 1024; unit++; }
  const number = new Intl.NumberFormat(current, { maximumFractionDigits: unit ? 1 : 0, minimumFractionDigits: unit ? 1 : 0 });
  return `${number.format(value)} ${units[unit]}`;
}

/** Fills every element with data-i18n="key" (its text) in root. */
export function translate(root = document) {
  document.documentElement.lang = current;
  document.title = t('title');
  for (const element of root.querySelectorAll('[data-i18n]')) element.textContent = t(element.dataset.i18n);
}

/** Switches to lang, remembers it, and translates the page. */
export function setLanguage(lang) {
  if (!LANGUAGES.includes(lang)) return;
  current = lang;
  try { localStorage.setItem(STORE_KEY, lang); } catch { /* not remembered then */ }
  translate();
}
