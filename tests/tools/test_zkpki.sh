#!/usr/bin/env bash
# Checks what zkpki writes with the openssl command line, in a temporary folder.
# usage: test_zkpki.sh PATH/TO/zkpki
set -u
export LC_ALL=C.UTF-8

ZKPKI=${1:?usage: test_zkpki.sh PATH/TO/zkpki}
command -v openssl >/dev/null || { echo "openssl is not installed"; exit 1; }
WORK=$(mktemp -d "${TMPDIR:-/tmp}/zkpki-test.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK" || exit 1

checks=0
failures=0
group() { echo "== $*"; }
pass() { checks=$((checks + 1)); }
fail() { checks=$((checks + 1)); failures=$((failures + 1)); echo "FAIL: $*"; }

# has WHAT TEXT NEEDLE / hasnt WHAT TEXT NEEDLE: fixed-string search
has() { if grep -qF -- "$3" <<<"$2"; then pass; else fail "$1: '$3' not found"; fi; }
hasnt() { if grep -qF -- "$3" <<<"$2"; then fail "$1: unexpected '$3'"; else pass; fi; }
same() { if [[ "$2" == "$3" ]]; then pass; else fail "$1: '$2' != '$3'"; fi; }

# zk ARGS...: runs zkpki, keeps its standard output in $OUT; a failure is a test failure
zk() {
  if OUT=$("$ZKPKI" "$@" 2>"$WORK/stderr"); then pass; else
    fail "zkpki $* exited with $?: $(cat "$WORK/stderr")"
    OUT=""
  fi
}

text_of() { openssl x509 -inform DER -in "$1" -noout -text -nameopt utf8 -certopt ext_parse 2>&1; }
# one "KEY=TYPE:value" line per subject attribute
subject_of() { openssl x509 -inform DER -in "$1" -noout -subject -nameopt utf8,show_type,sep_multiline,esc_ctrl |
  sed -n 's/^    //p'; }
issuer_of() { openssl x509 -inform DER -in "$1" -noout -issuer -nameopt utf8,show_type,sep_multiline,esc_ctrl |
  sed -n 's/^    //p'; }
cert_pub() { openssl x509 -in "$1" -noout -pubkey; }
key_pub() { openssl pkey -in "$1" -pubout; }
ski_of() { openssl x509 -in "$1" -noout -ext subjectKeyIdentifier | tail -n 1 | tr -d ' :'; }
verify() { openssl verify -CAfile "$1" "$2" 2>&1; }

# ------------------------------------------------------------------ CA
group "CA per key type; users issued by it"
# key type | public key text | signature algorithm on what the CA signs
CA_TABLE=(
  "ec|ASN1 OID: prime256v1|ecdsa-with-SHA256"
  "rsa|Public-Key: (2048 bit)|sha256WithRSAEncryption"
  "p384|ASN1 OID: secp384r1|ecdsa-with-SHA384"
)
for row in "${CA_TABLE[@]}"; do
  IFS='|' read -r kt keytext sigalg <<<"$row"
  ca=ca-$kt
  zk ca --out pki --name "$ca" --key "$kt" --cn "Тестовий ЦСК $kt"
  ca_ski=$OUT
  [[ -f pki/$ca.cer && -f pki/$ca.pem && -f pki/$ca.key.pem ]] && pass || fail "$ca: files missing"
  t=$(text_of "pki/$ca.cer")
  has "$ca DER" "$t" "Version: 3 (0x2)"
  has "$ca key" "$t" "$keytext"
  has "$ca self-signature" "$t" "Signature Algorithm: $sigalg"
  has "$ca basicConstraints" "$t" $'X509v3 Basic Constraints: critical\n                CA:TRUE'
  has "$ca keyUsage" "$t" $'X509v3 Key Usage: critical\n                Certificate Sign, CRL Sign'
  same "$ca SKI printed" "$ca_ski" "$(ski_of "pki/$ca.pem")"
  has "$ca AKI" "$t" "X509v3 Authority Key Identifier"
  s=$(subject_of "pki/$ca.cer")
  has "$ca C" "$s" "C=PRINTABLESTRING:UA"
  has "$ca CN" "$s" "CN=UTF8STRING:Тестовий ЦСК $kt"
  has "$ca O" "$s" "O=UTF8STRING:"
  has "$ca serialNumber" "$s" "serialNumber=PRINTABLESTRING:UA-36865753"
  same "$ca self-verifies" "$(verify "pki/$ca.pem" "pki/$ca.pem")" "pki/$ca.pem: OK"
  has "$ca key file is unencrypted PKCS#8" "$(head -n 1 "pki/$ca.key.pem" | tr -d -)" "BEGIN PRIVATE KEY"
  same "$ca key file mode" "$(stat -c %a "pki/$ca.key.pem")" "600"
  same "$ca key matches" "$(key_pub "pki/$ca.key.pem")" "$(cert_pub "pki/$ca.pem")"

  zk user --out pki --name "user-$kt" --ca "pki/$ca" --key "$kt"
  t=$(text_of "pki/user-$kt.cer")
  has "user-$kt key" "$t" "$keytext"
  has "user-$kt signed by $ca" "$t" "Signature Algorithm: $sigalg"
  same "user-$kt verifies" "$(verify "pki/$ca.pem" "pki/user-$kt.pem")" "pki/user-$kt.pem: OK"
  same "user-$kt AKI is the CA's SKI" \
    "$(openssl x509 -in "pki/user-$kt.pem" -noout -ext authorityKeyIdentifier | tail -n 1 | tr -d ' :')" "$ca_ski"
  same "user-$kt key matches" "$(key_pub "pki/user-$kt.key.pem")" "$(cert_pub "pki/user-$kt.pem")"
  same "user-$kt PEM and DER agree" "$(openssl x509 -in "pki/user-$kt.pem" -outform DER | sha256sum)" \
    "$(sha256sum <"pki/user-$kt.cer")"
done
CA=pki/ca-ec

group "CA options"
zk ca --out pki --name ca-opts --serial UA-12345678 --cn "ЦСК з опціями" --days 10 \
  --ocsp http://ca-ocsp.example.test --tsp http://ca-tsp.example.test
t=$(text_of pki/ca-opts.cer)
has "CA --serial" "$(subject_of pki/ca-opts.cer)" "serialNumber=PRINTABLESTRING:UA-12345678"
has "CA --ocsp" "$t" "OCSP - URI:http://ca-ocsp.example.test"
has "CA --tsp" "$t" "AD Time Stamping - URI:http://ca-tsp.example.test"
openssl x509 -in pki/ca-opts.pem -noout -checkend $((9 * 86400)) >/dev/null && pass || fail "CA --days 10 ends too early"
openssl x509 -in pki/ca-opts.pem -noout -checkend $((11 * 86400)) >/dev/null && fail "CA --days 10 ends too late" || pass
zk user --out pki --name by-opts --ca pki/ca-opts
has "issuer serialNumber" "$(issuer_of pki/by-opts.cer)" "serialNumber=PRINTABLESTRING:UA-12345678"

# ------------------------------------------------------------------ user subject
group "user subject: every option, its attribute and string type"
# option | value | expected subject line
SUBJECT_TABLE=(
  "--cn|Іван Петренко|CN=UTF8STRING:Іван Петренко"
  "--org|ТОВ «Ромашка»|O=UTF8STRING:ТОВ «Ромашка»"
  "--unit|Відділ кадрів|OU=UTF8STRING:Відділ кадрів"
  "--title|Директор|title=UTF8STRING:Директор"
  "--region|Київська обл.|ST=UTF8STRING:Київська обл."
  "--district|Бориспіль|L=UTF8STRING:Бориспіль"
  "--street|вул. Шевченка, 1|street=UTF8STRING:вул. Шевченка, 1"
  "--postal|01001|postalCode=UTF8STRING:01001"
  "--tel|+380441234567|telephoneNumber=PRINTABLESTRING:+380441234567"
  "--email|ivan@example.org|emailAddress=IA5STRING:ivan@example.org"
  "--surname|Петренко|SN=UTF8STRING:Петренко"
  "--given|Іван Іванович|GN=UTF8STRING:Іван Іванович"
  "--drfo|1234567890|serialNumber=PRINTABLESTRING:TINUA-1234567890"
  "--edrpou|12345678|organizationIdentifier=UTF8STRING:NTRUA-12345678"
)
args=()
for row in "${SUBJECT_TABLE[@]}"; do
  IFS='|' read -r opt value _ <<<"$row"
  args+=("$opt" "$value")
done
zk user --out pki --name full --ca "$CA" "${args[@]}" --eddr 19900101-12345 --ku 0xC8 \
  --eku emailProtection,clientAuth,1.2.3.4 --qualified --sscd \
  --ocsp http://ocsp.example.test --tsp http://tsp.example.test/ts
full_ski=$OUT
s=$(subject_of pki/full.cer)
for row in "${SUBJECT_TABLE[@]}"; do
  IFS='|' read -r opt _ line <<<"$row"
  has "subject $opt" "$s" "$line"
done
same "subject C" "$(head -n 1 <<<"$s")" "C=PRINTABLESTRING:UA"
same "full verifies" "$(verify "$CA.pem" pki/full.pem)" "pki/full.pem: OK"

group "user extensions"
t=$(text_of pki/full.cer)
# what | expected text in "openssl x509 -text -certopt ext_parse"
EXT_TABLE=(
  "version|Version: 3 (0x2)"
  "key usage|X509v3 Key Usage: critical"
  "SAN e-mail|email:ivan@example.org"
  "extended key usage|E-mail Protection, TLS Web Client Authentication, 1.2.3.4"
  "AIA OCSP|OCSP - URI:http://ocsp.example.test"
  "SIA timestamping|AD Time Stamping - URI:http://tsp.example.test/ts"
  "qcStatements|qcStatements:"
  "QcCompliance|OBJECT            :0.4.0.1862.1.1"
  "QcSSCD|OBJECT            :0.4.0.1862.1.4"
  "directory attributes|X509v3 Subject Directory Attributes:"
)
for row in "${EXT_TABLE[@]}"; do
  IFS='|' read -r what text <<<"$row"
  has "$what" "$t" "$text"
done
# directory attribute OID | PrintableString value
DIR_TABLE=(
  "1.2.804.2.1.1.1.11.1.4.1.1|1234567890"
  "1.2.804.2.1.1.1.11.1.4.2.1|12345678"
  "1.2.804.2.1.1.1.11.1.4.7.1|19900101-12345"
)
for row in "${DIR_TABLE[@]}"; do
  IFS='|' read -r oid value <<<"$row"
  has "directory attribute $oid" "$(grep -A2 -F ":$oid" <<<"$t")" "PRINTABLESTRING   :$value"
done
[[ $full_ski =~ ^[0-9A-F]{40}$ ]] && pass || fail "printed SKI '$full_ski' is not 40 upper-case hex digits"
same "printed SKI is the extension" "$full_ski" "$(ski_of pki/full.pem)"
# openssl's own "hash" method over the same key
same "SKI is SHA-1 of the public key" "$full_ski" \
  "$(openssl req -new -x509 -key pki/full.key.pem -subj /CN=x -addext subjectKeyIdentifier=hash | ski_of /dev/stdin)"

group "user defaults and --no-dir-attrs"
zk user --out pki --name plain --ca "$CA"
t=$(text_of pki/plain.cer)
has "default CN is NAME" "$(subject_of pki/plain.cer)" "CN=UTF8STRING:plain"
has "default key usage" "$t" $'X509v3 Key Usage: critical\n                Digital Signature, Non Repudiation\n'
for absent in "Subject Directory Attributes" "qcStatements" "Subject Alternative Name" \
  "Authority Information Access" "Subject Information Access" "Extended Key Usage" "Basic Constraints"; do
  hasnt "plain certificate" "$t" "$absent"
done
zk user --out pki --name nodir --ca "$CA" --drfo 1234567890 --edrpou 12345678 --no-dir-attrs
t=$(text_of pki/nodir.cer)
hasnt "--no-dir-attrs" "$t" "Subject Directory Attributes"
has "--no-dir-attrs keeps TINUA" "$(subject_of pki/nodir.cer)" "serialNumber=PRINTABLESTRING:TINUA-1234567890"
has "--no-dir-attrs keeps NTRUA" "$(subject_of pki/nodir.cer)" "organizationIdentifier=UTF8STRING:NTRUA-12345678"

group "key usage"
# --ku | text openssl prints
KU_TABLE=(
  "0x80|Digital Signature"
  "0xC0|Digital Signature, Non Repudiation"
  "0x10|Data Encipherment"
  "0x08|Key Agreement"
  "0x20|Key Encipherment"
  "c8|Digital Signature, Non Repudiation, Key Agreement"
  "0xB8|Digital Signature, Key Encipherment, Data Encipherment, Key Agreement"
)
for row in "${KU_TABLE[@]}"; do
  IFS='|' read -r ku text <<<"$row"
  zk user --out ku --name "ku-$ku" --ca "$CA" --ku "$ku"
  has "--ku $ku" "$(text_of "ku/ku-$ku.cer")" $'X509v3 Key Usage: critical\n                '"$text"$'\n'
done

group "extended key usage names"
# --eku | text openssl prints
EKU_TABLE=(
  "clientAuth|TLS Web Client Authentication"
  "emailProtection|E-mail Protection"
  "1.3.6.1.5.5.7.3.8|Time Stamping"
  "codeSigning,1.2.804.2.1.1.1.3.9|Code Signing, 1.2.804.2.1.1.1.3.9"
)
n=0
for row in "${EKU_TABLE[@]}"; do
  IFS='|' read -r eku text <<<"$row"
  n=$((n + 1))
  zk user --out eku --name "eku-$n" --ca "$CA" --eku "$eku"
  has "--eku $eku" "$(text_of "eku/eku-$n.cer")" $'X509v3 Extended Key Usage: \n                '"$text"
done
zk user --out eku --name eku-critical --ca "$CA" --eku timeStamping --eku-critical
has "--eku-critical" "$(text_of eku/eku-critical.cer)" $'X509v3 Extended Key Usage: critical\n                Time Stamping'

group "QC statements"
# flags | QcCompliance present | QcSSCD present
QC_TABLE=(
  "--qualified|yes|no"
  "--sscd|no|yes"
  "--qualified --sscd|yes|yes"
)
n=0
for row in "${QC_TABLE[@]}"; do
  IFS='|' read -r flags compliance sscd <<<"$row"
  n=$((n + 1))
  # shellcheck disable=SC2086
  zk user --out qc --name "qc-$n" --ca "$CA" $flags
  t=$(text_of "qc/qc-$n.cer")
  [[ $compliance == yes ]] && has "$flags compliance" "$t" ":0.4.0.1862.1.1" || hasnt "$flags compliance" "$t" ":0.4.0.1862.1.1"
  [[ $sscd == yes ]] && has "$flags sscd" "$t" ":0.4.0.1862.1.4" || hasnt "$flags sscd" "$t" ":0.4.0.1862.1.4"
done

# ------------------------------------------------------------------ validity
group "validity"
# name | options | openssl verify says | expected in -dates
VALIDITY_TABLE=(
  "default||OK|"
  "expired|--expired|certificate has expired|"
  "no-end|--no-end|OK|notAfter=Dec 31 23:59:59 9999 GMT"
  "explicit|--not-before 20200101000000Z --not-after 20491231235959Z|OK|notBefore=Jan  1 00:00:00 2020 GMT"
  "future|--not-before 20990101000000Z --not-after 21000101000000Z|certificate is not yet valid|notAfter=Jan  1 00:00:00 2100 GMT"
  "from-no-end|--not-before 20200101000000Z --no-end|OK|notAfter=Dec 31 23:59:59 9999 GMT"
)
for row in "${VALIDITY_TABLE[@]}"; do
  IFS='|' read -r name opts verdict dates <<<"$row"
  # shellcheck disable=SC2086
  zk user --out val --name "$name" --ca "$CA" $opts
  v=$(verify "$CA.pem" "val/$name.pem")
  if [[ $verdict == OK ]]; then same "$name verify" "$v" "val/$name.pem: OK"; else has "$name verify" "$v" "$verdict"; fi
  [[ -n $dates ]] && has "$name dates" "$(openssl x509 -in "val/$name.pem" -noout -dates)" "$dates"
done
openssl x509 -in val/default.pem -noout -checkend $((364 * 86400)) >/dev/null && pass || fail "default validity under 364 days"
openssl x509 -in val/expired.pem -noout -checkend $((-300 * 86400)) >/dev/null && fail "--expired not a year ago" || pass
# RFC 5280: UTCTime through 2049, GeneralizedTime from 2050
a=$(openssl asn1parse -inform DER -in val/explicit.cer | grep -m2 -E "UTCTIME|GENERALIZEDTIME")
same "2049 as UTCTime" "$(grep -c UTCTIME <<<"$a")" "2"
has "9999 as GeneralizedTime" "$(openssl asn1parse -inform DER -in val/no-end.cer)" "GENERALIZEDTIME   :99991231235959Z"

group "serial numbers and key reuse"
zk user --out ser --name fixed --ca "$CA" --serial-hex 0A1B2C3D
same "--serial-hex" "$(openssl x509 -in ser/fixed.pem -noout -serial)" "serial=0A1B2C3D"
for i in 1 2; do
  zk user --out ser --name "rnd$i" --ca "$CA"
  serial=$(openssl x509 -in "ser/rnd$i.pem" -noout -serial)
  [[ $serial =~ ^serial=[4-7][0-9A-F]{31}$ ]] && pass || fail "random serial '$serial' is not 16 positive bytes"
done
[[ $(openssl x509 -in ser/rnd1.pem -noout -serial) != $(openssl x509 -in ser/rnd2.pem -noout -serial) ]] && pass ||
  fail "two random serials are equal"
zk user --out ser --name sign --ca "$CA" --ku 0xC0
ski_sign=$OUT
zk user --out ser --name again --ca "$CA" --ku 0x08 --key-from ser/sign.key.pem
same "--key-from keeps the key identifier" "$OUT" "$ski_sign"
same "--key-from keeps the key" "$(cert_pub ser/again.pem)" "$(cert_pub ser/sign.pem)"
same "--key-from writes the same key" "$(key_pub ser/again.key.pem)" "$(key_pub ser/sign.key.pem)"

# ------------------------------------------------------------------ key files
group "key files: formats and passwords"
zk user --out kf --name one --ca "$CA" --ku 0xC0
ski_one=$OUT
zk user --out kf --name two --ca "$CA" --ku 0x08 --key rsa
ski_two=$OUT

# open_key FORMAT FILE: the private key(s) in clear PEM, password in $ZK_PASS
open_key() {
  case $1 in
    p12) openssl pkcs12 -in "$2" -passin env:ZK_PASS -nocerts -nodes 2>&1 ;;
    p8der) openssl pkcs8 -inform DER -in "$2" -passin env:ZK_PASS 2>&1 ;;
    p8pem) openssl pkcs8 -in "$2" -passin env:ZK_PASS 2>&1 ;;
  esac
}
# format | password
KEYFILE_TABLE=(
  "p12|secret"
  "p12|"
  "p12|пароль"
  "p8der|secret"
  "p8der|"
  "p8pem|secret"
  "p8pem|"
)
n=0
for row in "${KEYFILE_TABLE[@]}"; do
  IFS='|' read -r fmt pw <<<"$row"
  n=$((n + 1))
  f=kf/key-$n.$fmt
  zk keyfile --out "$f" --format "$fmt" --pass "$pw" --key kf/one.key.pem --cert kf/one.pem
  same "$fmt '$pw' mode" "$(stat -c %a "$f")" "600"
  if clear=$(ZK_PASS=$pw open_key "$fmt" "$f"); then pass; else fail "$fmt '$pw' does not open: $clear"; fi
  same "$fmt '$pw' key matches the certificate" "$(openssl pkey -pubout <<<"$clear" 2>&1)" "$(cert_pub kf/one.pem)"
  if ZK_PASS="wrong$pw" open_key "$fmt" "$f" >/dev/null; then fail "$fmt '$pw' opens with a wrong password"; else pass; fi
  case $fmt in
    p12)
      info=$(ZK_PASS=$pw openssl pkcs12 -in "$f" -passin env:ZK_PASS -info -nokeys 2>&1)
      has "$fmt MAC" "$info" "MAC: sha256"
      has "$fmt certificate safe" "$info" "PKCS7 Encrypted data: PBES2, PBKDF2, AES-256-CBC, Iteration 2048, PRF hmacWithSHA256"
      has "$fmt key bag" "$info" "Shrouded Keybag: PBES2, PBKDF2, AES-256-CBC, Iteration 2048, PRF hmacWithSHA256"
      ;;
    p8der)
      p=$(openssl asn1parse -inform DER -in "$f")
      for o in PBES2 PBKDF2 hmacWithSHA256 aes-256-cbc; do has "$fmt algorithm" "$p" ":$o"; done
      ;;
    p8pem)
      same "$fmt header" "$(head -n 1 "$f" | tr -d -)" "BEGIN ENCRYPTED PRIVATE KEY"
      ;;
  esac
done

group "PKCS#12 with two keys"
ZK_PASS=two-keys
zk keyfile --out kf/both.pfx --format p12 --pass "$ZK_PASS" --key kf/one.key.pem --cert kf/one.pem \
  --key2 kf/two.key.pem --cert2 kf/two.pem --friendly2 "Ключ шифрування"
export ZK_PASS
info=$(openssl pkcs12 -in kf/both.pfx -passin env:ZK_PASS -info -nodes 2>&1)
same "two key bags" "$(grep -c "^Shrouded Keybag" <<<"$info")" "2"
same "two certificate bags" "$(grep -c "^Certificate bag" <<<"$info")" "2"
# each bag carries localKeyID (= SHA-1 of the public key, the SKI) and friendlyName
ids=$(grep localKeyID <<<"$info" | sed 's/.*localKeyID: //; s/ //g' | sort | uniq -c | sed 's/^ *//')
same "localKeyIDs: key and certificate share one per pair" "$ids" "$(printf '2 %s\n2 %s' $(printf '%s\n' "$ski_one" "$ski_two" | sort))"
same "friendlyName on every bag" "$(grep -c "friendlyName:" <<<"$info")" "4"
has "default friendlyName" "$info" "friendlyName: one"
# openssl prints a BMPString name byte by byte; look for its UTF-16 in the (unencrypted) key safe
bmp=$(printf %s "Ключ шифрування" | iconv -f UTF-8 -t UTF-16BE | od -An -tx1 | tr -d ' \n' | tr a-f A-F)
has "Cyrillic friendlyName as BMPString" "$(openssl asn1parse -inform DER -in kf/both.pfx)" "1E1E$bmp"
# every key in the file belongs to one of the two certificates
openssl pkcs12 -in kf/both.pfx -passin env:ZK_PASS -nocerts -nodes 2>/dev/null |
  awk '/BEGIN PRIVATE KEY/{n++} n && /-----BEGIN/,/-----END/{print > ("kf/both-key-" n ".pem")}'
pubs=$(for k in kf/both-key-*.pem; do key_pub "$k"; done | sort)
same "keys match the certificates" "$pubs" "$( (cert_pub kf/one.pem; cert_pub kf/two.pem) | sort)"
unset ZK_PASS

zk keyfile --out kf/nocert.p12 --format p12 --pass x --key kf/one.key.pem
info=$(openssl pkcs12 -in kf/nocert.p12 -passin pass:x -info -nodes 2>&1)
same "key without certificate: one key bag" "$(grep -c "^Shrouded Keybag" <<<"$info")" "1"
same "key without certificate: no certificate bag" "$(grep -c "^Certificate bag" <<<"$info")" "0"

# ------------------------------------------------------------------ demo
group "demo set"
mkdir -p demo && touch demo/demo-ca.key.pem demo/demo-user.key.pem  # leftovers of an older run
zk demo --out demo
demo_ski=$OUT
same "demo files" "$(ls demo | tr '\n' ' ')" "demo-ca.cer demo-ca.pem demo-user.cer demo-user.pem demo-user.pfx "
same "demo chain" "$(verify demo/demo-ca.pem demo/demo-user.pem)" "demo/demo-user.pem: OK"
s=$(subject_of demo/demo-user.cer)
for line in "CN=UTF8STRING:Демо Користувач" "serialNumber=PRINTABLESTRING:TINUA-1234567890" \
  "organizationIdentifier=UTF8STRING:NTRUA-12345678" "emailAddress=IA5STRING:"; do
  has "demo subject" "$s" "$line"
done
has "demo issuer" "$(issuer_of demo/demo-user.cer)" "serialNumber=PRINTABLESTRING:UA-36865753"
has "demo key usage" "$(text_of demo/demo-user.cer)" "Digital Signature, Non Repudiation, Key Agreement"
same "demo SKI printed" "$demo_ski" "$(ski_of demo/demo-user.pem)"
clear=$(openssl pkcs12 -in demo/demo-user.pfx -passin pass:demo1234 -nocerts -nodes 2>&1)
same "demo key file opens and matches" "$(openssl pkey -pubout <<<"$clear" 2>&1)" "$(cert_pub demo/demo-user.pem)"
openssl pkcs12 -in demo/demo-user.pfx -passin pass:demo12345 -nokeys >/dev/null 2>&1 && fail "demo pfx opens with a wrong password" || pass

# ------------------------------------------------------------------ usage
group "help and wrong usage"
help=$("$ZKPKI" --help) && pass || fail "--help exit status"
for word in "zkpki ca" "zkpki user" "zkpki keyfile" "zkpki demo"; do has "--help" "$help" "$word"; done
has "user --help" "$("$ZKPKI" user --help)" "usage: zkpki"
# expected exit status | arguments (eval'd)
BAD_TABLE=(
  "2|"
  "2|bogus"
  "2|ca --name x"
  "2|ca --out bad --name x --key dsa"
  "2|ca --out bad --name x --days 0"
  "2|ca --out bad --name a/b"
  "2|user --out bad --name x --ca $CA --ku zz"
  "2|user --out bad --name x --ca $CA --ku 0x100"
  "2|user --out bad --name x --ca $CA --unknown"
  "2|user --out bad --name x --ca $CA --cn A --cn B"
  "2|user --out bad --name x --ca $CA --drfo АБ123456"
  "2|user --out bad --name x --ca $CA --email іван@example.org"
  "2|user --out bad --name x --ca $CA --eku no-such-usage"
  "2|user --out bad --name x --ca $CA --not-before 2025"
  "2|user --out bad --name x --ca $CA --not-before 20300101000000Z --not-after 20290101000000Z"
  "2|user --out bad --name x --ca $CA --expired --no-end"
  "2|user --out bad --name x --ca $CA --serial-hex 0"
  "2|user --out bad --name x --ca $CA --serial-hex xyz"
  "2|user --out bad --name x --ca $CA --eddr 1 --no-dir-attrs"
  "2|user --out bad --name x --ca $CA --key rsa --key-from kf/one.key.pem"
  "1|user --out bad --name x --ca pki/no-such-ca"
  "1|user --out bad --name x --ca $CA --key-from kf/key-1.p8pem"
  "2|keyfile --out bad/x --format jks --pass a --key kf/one.key.pem"
  "2|keyfile --out bad/x --format p8der --pass a --key kf/one.key.pem --key2 kf/two.key.pem"
  "2|keyfile --out bad/x --format p12 --pass a --key kf/one.key.pem --cert2 kf/two.pem"
  "2|keyfile --out bad/x --format p12 --key kf/one.key.pem"
  "1|keyfile --out bad/x --format p12 --pass a --key kf/one.key.pem --cert kf/two.pem"
)
for row in "${BAD_TABLE[@]}"; do
  IFS='|' read -r status cmdline <<<"$row"
  eval "words=($cmdline)"
  "$ZKPKI" "${words[@]}" >/dev/null 2>"$WORK/stderr"
  rc=$?
  same "zkpki $cmdline: exit status" "$rc" "$status"
  [[ -s $WORK/stderr ]] && pass || fail "zkpki $cmdline: no message on stderr"
done
[[ -z $(ls bad 2>/dev/null) ]] && pass || fail "failed runs left files: $(ls bad)"
[[ -z $(find . -name '*.tmp*') ]] && pass || fail "temporary files left: $(find . -name '*.tmp*')"

echo "zkpki: $checks checks, $failures failed"
((failures == 0))
