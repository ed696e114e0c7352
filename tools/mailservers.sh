#!/usr/bin/env bash
# Real mail servers on loopback for tests and benchmarks: Postfix (SMTP) and
# Dovecot (POP3 and IMAP4), each run from a private directory with its own
# configuration, never as the system's daemons.
#
#   tools/mailservers.sh start    install if needed, start (quick when running)
#   tools/mailservers.sh stop     stop exactly the instances started here
#   tools/mailservers.sh stop postfix|dovecot|cyrus   stop only that one (a
#                                 later start brings it back, leaving the others)
#   tools/mailservers.sh status   say what runs; exit 0 only when all do
#   tools/mailservers.sh env      print the settings as shell assignments
#
# Mail to vesk@localhost is delivered into one Maildir, which Dovecot serves
# to user "vesk" with password "vesk-pass". Users vesk-t1 to vesk-t8 (same
# password, mail to vesk-tN@localhost) have a Maildir each, so that tests
# running side by side keep their mail apart; vesk-soak is the soak
# benchmark's, and vesk-check keeps copies of sent mail for Python's strict
# parser (tests/interop/check_maildir.py). vesk-dsn receives delivery
# reports, and vesk-intl the mail for the international addresses
# jörg@müller.example and post@müller.example (also reached
# through the A-label, post@xn--mller-kva.example).
#
# Postfix answers on three more SMTP ports, each the main one with one
# setting changed, for the client's extensions: VESK_SMTP_SMALL_PORT takes
# messages of at most 20000 bytes (SIZE 20000), VESK_SMTP_ASCII_PORT does not
# offer SMTPUTF8, VESK_SMTP_PLAIN_PORT lists no extensions but STARTTLS
# (no PIPELINING, SIZE, DSN, 8BITMIME or SMTPUTF8). Every port refuses mail
# for a mailbox it does not have (550 at RCPT).
#
# Beside them, npm's smtp-server with its extensions switched off records
# what it is sent (tools/servers/recording_smtp_server.js) on VESK_SMTP_NPM_PORT,
# one JSON line per transaction in VESK_SMTP_NPM_LOG; it is installed under
# <dir>/npm when missing, and left out (with a note) where npm is not there.
#
# TLS: a private CA and a server certificate for localhost, 127.0.0.1 and
# 127.0.0.2 are made with openssl under <dir>/tls (kept across restarts),
# with a few more certificates for client tests (another name, an unknown CA).
# Postfix offers STARTTLS on its SMTP port and implicit TLS on the SMTPS port;
# Dovecot offers STARTTLS on its POP3 and IMAP ports and implicit TLS on the
# POP3S and IMAPS ports. Plain-text log-ins are refused before TLS
# (disable_plaintext_auth = yes), but Dovecot counts a connection whose local
# and remote addresses are equal as secure: reached at 127.0.0.1 (from
# 127.0.0.1) plain log-ins work as before, while the same ports reached at
# 127.0.0.2 (the kernel still sends from 127.0.0.1) refuse them until STARTTLS.
# Dovecot also answers at 127.0.0.3, an address its certificate does not name
# (for tests of the name check), and at 127.0.0.4, where its IMAP lists no
# MOVE (for the other road of moving a message).
#
# Mailbox roles (RFC 6154): Dovecot and Cyrus each have a mailbox "Gesendete
# Objekte" with the role \Sent for every user.
#
# Cyrus IMAP (a second server family, IMAP and POP3 only) runs beside
# Dovecot from <dir>/cyrus, with users of its own (the same names and
# password) and mail of its own: Postfix delivers mail to vesk@cyrus.localhost
# (and vesk-tN@cyrus.localhost) to it over LMTP.
#
# Signing in: Postfix also offers submission with SASL through Dovecot's auth
# socket, with STARTTLS on the submission port and implicit TLS on the
# submissions port. AUTH is offered only after TLS, and there mail is taken
# only from a client that signed in. Dovecot offers PLAIN and LOGIN, and
# XOAUTH2 and OAUTHBEARER for an OAuth 2 token that it checks itself
# (local validation of a JWT signed with a private HMAC key under
# <dir>/dovecot/oauth2; the token for user "vesk" is VESK_ACCESS_TOKEN, or
# an RS256 token of the local OAuth 2 test server, whose signing key is
# VESK_OAUTH2_SIGNING_KEY).
#
# Settings (environment, with defaults):
#   VESK_MAILSERVERS_DIR   <repository>/build/mailservers
#   VESK_SMTP_PORT 2525, VESK_POP3_PORT 2110, VESK_IMAP_PORT 2143
#   VESK_SMTPS_PORT 2465, VESK_POP3S_PORT 2995, VESK_IMAPS_PORT 2993
#   VESK_SUBMISSION_PORT 2587, VESK_SUBMISSIONS_PORT 2466
#   VESK_SMTP_SMALL_PORT 2527, VESK_SMTP_ASCII_PORT 2528, VESK_SMTP_PLAIN_PORT 2529,
#   VESK_SMTP_NPM_PORT 2530
#   VESK_CYRUS_IMAP_PORT 2643, VESK_CYRUS_POP3_PORT 2610
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="${VESK_MAILSERVERS_DIR:-$repo_root/build/mailservers}"
smtp_port="${VESK_SMTP_PORT:-2525}"
pop3_port="${VESK_POP3_PORT:-2110}"
imap_port="${VESK_IMAP_PORT:-2143}"
smtps_port="${VESK_SMTPS_PORT:-2465}"
pop3s_port="${VESK_POP3S_PORT:-2995}"
imaps_port="${VESK_IMAPS_PORT:-2993}"
submission_port="${VESK_SUBMISSION_PORT:-2587}"
submissions_port="${VESK_SUBMISSIONS_PORT:-2466}"
smtp_small_port="${VESK_SMTP_SMALL_PORT:-2527}"
smtp_ascii_port="${VESK_SMTP_ASCII_PORT:-2528}"
smtp_plain_port="${VESK_SMTP_PLAIN_PORT:-2529}"
smtp_npm_port="${VESK_SMTP_NPM_PORT:-2530}"
npm_dir="$dir/npm"
npm_log="$npm_dir/transactions.jsonl"
cyrus_imap_port="${VESK_CYRUS_IMAP_PORT:-2643}"
cyrus_pop3_port="${VESK_CYRUS_POP3_PORT:-2610}"
tls_dir="$dir/tls"
mail_user="vesk"
mail_password="vesk-pass"
mail_address="vesk@localhost"
side_users="vesk-t1 vesk-t2 vesk-t3 vesk-t4 vesk-t5 vesk-t6 vesk-t7 vesk-t8 vesk-soak vesk-check vesk-dsn vesk-intl"
# The international addresses, in UTF-8, delivered to vesk-intl.
intl_domain=$'m\xc3\xbcller.example'
intl_alabel="xn--mller-kva.example"
intl_local=$'j\xc3\xb6rg'
intl_addresses="$intl_local@$intl_domain post@$intl_domain post@$intl_alabel"

postfix_config="$dir/postfix/etc"
postfix_queue="$dir/postfix/queue"
postfix_data="$dir/postfix/data"
postfix_log="$dir/postfix/postfix.log"
dovecot_dir="$dir/dovecot"
dovecot_config="$dovecot_dir/dovecot.conf"
dovecot_log="$dovecot_dir/dovecot.log"
cyrus_dir="$dir/cyrus"
cyrus_config="$cyrus_dir/imapd.conf"
cyrus_domain="cyrus.localhost"
mail_base="$dir/mail"
maildir="$mail_base/$mail_user/Maildir"

say() { printf 'mailservers: %s\n' "$*" >&2; }
die() { say "$*"; exit 1; }

# True when something accepts connections on 127.0.0.1:$1.
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

pid_alive() { [[ -s "$1" ]] && kill -0 "$(tr -dc 0-9 <"$1")" 2>/dev/null; }

postfix_running() {
  pid_alive "$postfix_queue/pid/master.pid" && port_open "$smtp_port" && port_open "$smtps_port" &&
    port_open "$submission_port" && port_open "$submissions_port" && port_open "$smtp_small_port" &&
    port_open "$smtp_ascii_port" && port_open "$smtp_plain_port"
}
# Dovecot's auth socket for Postfix, in Postfix's private folder.
auth_socket="$postfix_queue/private/auth"
dovecot_running() {
  pid_alive "$dovecot_dir/run/master.pid" && port_open "$pop3_port" && port_open "$imap_port" &&
    port_open "$pop3s_port" && port_open "$imaps_port"
}

# The RSA key the local OAuth 2 test server (tools/oauth2_server.sh) signs
# its RS256 tokens with; Dovecot finds the public half as default/RS256/<kid>.
oauth2_signing_key="$dovecot_dir/oauth2/signing-key.pem"
oauth2_key_id="vesk-oauth2-mock"
make_signing_key() {
  local keys="$dovecot_dir/oauth2/keys"
  [[ -s $oauth2_signing_key && -s $keys/default/RS256/$oauth2_key_id ]] && return 0
  mkdir -p "$keys/default/RS256"
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$oauth2_signing_key" 2>/dev/null
  openssl pkey -in "$oauth2_signing_key" -pubout -out "$keys/default/RS256/$oauth2_key_id"
  chgrp -R dovecot "$keys"
  chmod -R g+rX "$keys"
}

# A JWT for user vesk, signed (HS256) with the key Dovecot finds in its key
# dictionary as <azp>/<alg>/<kid>, here default/HS256/default.
make_access_token() {
  local keys="$dovecot_dir/oauth2/keys" key="vesk-oauth2-test-key" header payload signature
  make_signing_key
  [[ -s $dovecot_dir/oauth2/token ]] && return 0
  mkdir -p "$keys/default/HS256"
  printf '%s' "$key" | openssl base64 -A >"$keys/default/HS256/default"
  b64url() { openssl base64 -A | tr '+/' '-_' | tr -d '='; }
  header=$(printf '{"alg":"HS256","typ":"JWT"}' | b64url)
  payload=$(printf '{"sub":"%s","iat":%d,"exp":%d}' "$mail_user" "$(date +%s)" "$(($(date +%s) + 3650 * 86400))" | b64url)
  signature=$(printf '%s.%s' "$header" "$payload" | openssl dgst -sha256 -hmac "$key" -binary | b64url)
  printf '%s.%s.%s' "$header" "$payload" "$signature" >"$dovecot_dir/oauth2/token"
  chgrp -R dovecot "$dovecot_dir/oauth2"
  chmod -R g+rX "$dovecot_dir/oauth2"
}

# One certificate signed by a CA: make_certificate NAME CA SUBJECT_ALT_NAMES
make_certificate() {
  local name=$1 ca=$2 names=$3
  openssl req -newkey rsa:2048 -nodes -keyout "$tls_dir/$name.key" -out "$tls_dir/$name.csr" \
    -subj "/CN=${names#DNS:}" 2>/dev/null
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n' \
    "$names" >"$tls_dir/$name.ext"
  openssl x509 -req -in "$tls_dir/$name.csr" -CA "$tls_dir/$ca.pem" -CAkey "$tls_dir/$ca.key" \
    -CAcreateserial -days 825 -sha256 -extfile "$tls_dir/$name.ext" -out "$tls_dir/$name.pem" 2>/dev/null
  rm -f "$tls_dir/$name.csr" "$tls_dir/$name.ext"
}

make_ca() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$tls_dir/$1.key" -out "$tls_dir/$1.pem" -days 3650 \
    -sha256 -subj "/CN=$2" -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    2>/dev/null
}

# ca.pem signs server.pem (the servers') and other.pem (for another name);
# rogue.pem is for localhost but from a CA nobody trusts.
make_certificates() {
  [[ -s $tls_dir/server.pem && -s $tls_dir/other.pem && -s $tls_dir/rogue.pem ]] && return 0
  command -v openssl >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq openssl >/dev/null
  mkdir -p "$tls_dir"
  make_ca ca "VeskMail Test CA"
  make_certificate server ca "DNS:localhost,IP:127.0.0.1,IP:127.0.0.2"
  make_certificate other ca "DNS:mail.other.test"
  make_ca rogue-ca "Unknown Test CA"
  make_certificate rogue rogue-ca "DNS:localhost,IP:127.0.0.1"
  rm -f "$tls_dir/rogue-ca.key"
  # A throwaway key for loopback tests; Postfix's smtpd reads it as postfix.
  chmod 644 "$tls_dir"/*.pem "$tls_dir"/*.key
}

cyrus_running() {
  pid_alive "$cyrus_dir/run/master.pid" && port_open "$cyrus_imap_port" && port_open "$cyrus_pop3_port"
}

need_install() {
  [[ -x /usr/sbin/postfix && -x /usr/lib/postfix/sbin/master && -x /usr/sbin/dovecot &&
     -x /usr/lib/dovecot/pop3 && -x /usr/lib/dovecot/imap && -x /usr/lib/cyrus/bin/master &&
     -x /usr/lib/cyrus/bin/lmtpd && -x /usr/sbin/saslpasswd2 ]] && return 1
  return 0
}

# Cyrus's imapd and pop3d come from Debian's cyrus-imapd and cyrus-pop3d, but
# those packages conflict with Dovecot's (both provide imap-server and
# pop3-server): they are downloaded and unpacked under <dir>/cyrus-root,
# never installed. The rest (master, lmtpd, libraries) is cyrus-common,
# which does not conflict.
cyrus_root="$dir/cyrus-root"
cyrus_bin="$cyrus_root/usr/lib/cyrus/bin"
unpack_cyrus_servers() {
  [[ -x $cyrus_bin/imapd && -x $cyrus_bin/pop3d ]] && return 0
  local downloads="$dir/cyrus-debs" deb
  mkdir -p "$downloads" "$cyrus_root"
  (cd "$downloads" && apt-get download cyrus-imapd cyrus-pop3d >/dev/null 2>&1) ||
    (apt-get update >/dev/null && cd "$downloads" && apt-get download cyrus-imapd cyrus-pop3d >/dev/null) ||
    die "cannot download cyrus-imapd and cyrus-pop3d"
  for deb in "$downloads"/cyrus-imapd_*.deb "$downloads"/cyrus-pop3d_*.deb; do dpkg-deb -x "$deb" "$cyrus_root"; done
  [[ -x $cyrus_bin/imapd && -x $cyrus_bin/pop3d ]] || die "cyrus-imapd and cyrus-pop3d did not unpack"
}

# Installs the Debian packages without letting their scripts start the
# system's daemons: a policy-rc.d that denies every start is put in place for
# the installation and removed again, unless one was there already.
install_packages() {
  [[ $(id -u) -eq 0 ]] || die "installing the servers needs root"
  local policy=/usr/sbin/policy-rc.d placed=0
  if [[ ! -e $policy ]]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    placed=1
  fi
  # shellcheck disable=SC2064
  trap "[[ $placed -eq 1 ]] && rm -f '$policy'" EXIT
  say "installing postfix, dovecot and cyrus-common"
  echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
  local packages="postfix dovecot-core dovecot-pop3d dovecot-imapd cyrus-common sasl2-bin"
  # shellcheck disable=SC2086
  if ! DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $packages >/dev/null; then
    apt-get update >/dev/null
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $packages >/dev/null
  fi
  if [[ $placed -eq 1 ]]; then rm -f "$policy"; fi
  trap - EXIT
}

write_postfix_config() {
  mkdir -p "$postfix_config" "$postfix_queue" "$postfix_data"
  chown postfix "$postfix_data"
  local mail_uid mail_gid
  mail_uid=$(id -u mail)
  mail_gid=$(id -g mail)
  cat >"$postfix_config/main.cf" <<EOF
# Private instance for VeskMail tests: loopback only, local delivery only.
compatibility_level = 3.6
config_directory = $postfix_config
queue_directory = $postfix_queue
data_directory = $postfix_data
meta_directory = /etc/postfix
mail_owner = postfix
setgid_group = postdrop
myhostname = mail.vesk.test
mydomain = vesk.test
myorigin = \$myhostname
inet_interfaces = 127.0.0.1
# STARTTLS offered on the SMTP port, implicit TLS on the SMTPS port.
smtpd_tls_security_level = may
smtpd_tls_cert_file = $tls_dir/server.pem
smtpd_tls_key_file = $tls_dir/server.key
smtpd_tls_protocols = >=TLSv1.2
smtpd_tls_mandatory_protocols = >=TLSv1.2
inet_protocols = ipv4
mydestination =
mynetworks = 127.0.0.0/8
relayhost =
# Nothing is relayed and nothing leaves the machine: mail for any other
# domain is refused at RCPT, and would bounce if it were ever queued.
smtpd_relay_restrictions = reject_unauth_destination
default_transport = error:no mail leaves this test instance
relay_transport = error:no mail leaves this test instance
smtpd_peername_lookup = no
# Long sessions of many transactions (benchmarks) are not treated as abuse.
smtpd_junk_command_limit = 100000
smtpd_error_sleep_time = 0
smtpd_soft_error_limit = 100000
smtpd_hard_error_limit = 100000
smtp_dns_support_level = disabled
biff = no
# No header rewriting for loopback clients: what a client sends is stored.
local_header_rewrite_clients =
# Without syslog the log goes to a file of its own.
maillog_file = $postfix_log
maillog_file_prefixes = $dir
# One mailbox: $mail_address, a Maildir owned by Debian's mail user.
# International addresses (RFC 6531) are taken in UTF-8.
smtputf8_enable = yes
virtual_mailbox_domains = localhost, $intl_domain, $intl_alabel
# Mail for $cyrus_domain goes to Cyrus over LMTP.
relay_domains = $cyrus_domain
transport_maps = inline:{ $cyrus_domain=lmtp:unix:$cyrus_dir/socket/lmtp }
virtual_mailbox_base = $mail_base
virtual_mailbox_maps = inline:{ $mail_address=$mail_user/Maildir/$(for u in $side_users; do printf ', %s@localhost=%s/Maildir/' "$u" "$u"; done)$(for a in $intl_addresses; do printf ', %s=vesk-intl/Maildir/' "$a"; done) }
virtual_uid_maps = static:$mail_uid
virtual_gid_maps = static:$mail_gid
virtual_minimum_uid = $mail_uid
alias_maps =
alias_database =
# Submission (master.cf): SASL through Dovecot, after TLS only, and mail only
# from a client that signed in (loopback counts for nothing there).
smtpd_sasl_type = dovecot
smtpd_sasl_path = $auth_socket
EOF
  cat >"$postfix_config/master.cf" <<EOF
# service      type  private unpriv chroot wakeup maxproc command
127.0.0.1:$smtp_port inet n - n - - smtpd
127.0.0.1:$smtps_port inet n - n - - smtpd -o smtpd_tls_wrappermode=yes -o smtpd_tls_security_level=encrypt
127.0.0.1:$submission_port inet n - n - - smtpd -o smtpd_tls_security_level=encrypt
  -o smtpd_sasl_auth_enable=yes -o smtpd_tls_auth_only=yes
  -o smtpd_client_restrictions= -o smtpd_helo_restrictions= -o smtpd_sender_restrictions=
  -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
  -o smtpd_recipient_restrictions=permit_sasl_authenticated,reject
127.0.0.1:$submissions_port inet n - n - - smtpd -o smtpd_tls_wrappermode=yes -o smtpd_tls_security_level=encrypt
  -o smtpd_sasl_auth_enable=yes -o smtpd_tls_auth_only=yes
  -o smtpd_client_restrictions= -o smtpd_helo_restrictions= -o smtpd_sender_restrictions=
  -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
  -o smtpd_recipient_restrictions=permit_sasl_authenticated,reject
127.0.0.1:$smtp_small_port inet n - n - - smtpd -o message_size_limit=20000
127.0.0.1:$smtp_ascii_port inet n - n - - smtpd -o smtputf8_enable=no
127.0.0.1:$smtp_plain_port inet n - n - - smtpd
  -o smtpd_discard_ehlo_keywords=pipelining,size,dsn,8bitmime,smtputf8,etrn,enhancedstatuscodes,vrfy,chunking
pickup         unix  n       -      n      60     1       pickup
cleanup        unix  n       -      n      -      0       cleanup
qmgr           unix  n       -      n      300    1       qmgr
tlsmgr         unix  -       -      n      1000?  1       tlsmgr
rewrite        unix  -       -      n      -      -       trivial-rewrite
bounce         unix  -       -      n      -      0       bounce
defer          unix  -       -      n      -      0       bounce
trace          unix  -       -      n      -      0       bounce
verify         unix  -       -      n      -      1       verify
flush          unix  n       -      n      1000?  0       flush
proxymap       unix  -       -      n      -      -       proxymap
smtp           unix  -       -      n      -      -       smtp
relay          unix  -       -      n      -      -       smtp
showq          unix  n       -      n      -      -       showq
error          unix  -       -      n      -      -       error
retry          unix  -       -      n      -      -       error
discard        unix  -       -      n      -      -       discard
local          unix  -       n      n      -      -       local
virtual        unix  -       n      n      -      -       virtual
lmtp           unix  -       -      n      -      -       lmtp
anvil          unix  -       -      n      -      1       anvil
scache         unix  -       -      n      -      1       scache
postlog        unix-dgram n  -      n      -      1       postlogd
EOF
}

write_dovecot_config() {
  mkdir -p "$dovecot_dir/run" "$dovecot_dir/state"
  local user
  for user in "$mail_user" $side_users; do printf '%s:{PLAIN}%s::::::\n' "$user" "$mail_password"; done \
    >"$dovecot_dir/users"
  chmod 640 "$dovecot_dir/users"
  chgrp dovecot "$dovecot_dir/users"
  make_access_token
  cat >"$dovecot_dir/oauth2/dovecot-oauth2.conf.ext" <<EXT
introspection_mode = local
local_validation_key_dict = fs:posix:prefix=$dovecot_dir/oauth2/keys/
username_attribute = sub
EXT
  local mail_uid
  mail_uid=$(id -u mail)
  cat >"$dovecot_config" <<EOF
# Private instance for VeskMail tests: POP3 and IMAP4 on loopback, one user.
instance_name = vesk-dovecot
base_dir = $dovecot_dir/run
state_dir = $dovecot_dir/state
log_path = $dovecot_log
listen = 127.0.0.1 127.0.0.2 127.0.0.3 127.0.0.4
protocols = pop3 imap
ssl = yes
ssl_cert = <$tls_dir/server.pem
ssl_key = <$tls_dir/server.key
ssl_min_protocol = TLSv1.2
disable_plaintext_auth = yes
auth_mechanisms = plain login xoauth2 oauthbearer
default_internal_user = dovecot
default_login_user = dovenull
first_valid_uid = $mail_uid
mail_location = maildir:~/Maildir
passdb {
  driver = passwd-file
  mechanisms = plain login
  args = scheme=PLAIN username_format=%u $dovecot_dir/users
}
passdb {
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = $dovecot_dir/oauth2/dovecot-oauth2.conf.ext
}
userdb {
  driver = static
  args = uid=mail gid=mail home=$mail_base/%u
}
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1 127.0.0.2 127.0.0.3
    port = $pop3_port
  }
  inet_listener pop3s {
    address = 127.0.0.1 127.0.0.2 127.0.0.3
    port = $pop3s_port
  }
}
service imap-login {
  inet_listener imap {
    address = 127.0.0.1 127.0.0.2 127.0.0.3 127.0.0.4
    port = $imap_port
  }
  inet_listener imaps {
    address = 127.0.0.1 127.0.0.2 127.0.0.3
    port = $imaps_port
  }
}
service auth {
  unix_listener $auth_socket {
    mode = 0660
    user = postfix
    group = postfix
  }
}
# No growing delay for the addresses of failed log-ins: tests sign in with
# wrong passwords on purpose, always from loopback.
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
service stats {
  unix_listener stats-reader {
    mode = 0600
  }
  unix_listener stats-writer {
    mode = 0600
  }
}
protocol pop3 {
  pop3_uidl_format = %08Xu%08Xv
}
# Mailbox roles (RFC 6154): the Sent mailbox has a German name, as a
# localised client would have made it; the others keep theirs.
namespace inbox {
  inbox = yes
  mailbox "Gesendete Objekte" {
    special_use = \Sent
    auto = create
  }
  mailbox Trash {
    special_use = \Trash
  }
  mailbox Junk {
    special_use = \Junk
  }
}
# Reached at 127.0.0.4, IMAP lists no MOVE (the server still knows it), so
# that a client takes the UIDPLUS road of moving; plain-text log-ins are
# allowed there although the address makes the connection look remote.
local 127.0.0.4 {
  disable_plaintext_auth = no
  protocol imap {
    imap_capability = IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE IDLE SORT SORT=DISPLAY THREAD=REFERENCES THREAD=REFS THREAD=ORDEREDSUBJECT MULTIAPPEND URL-PARTIAL CATENATE UNSELECT CHILDREN NAMESPACE UIDPLUS LIST-EXTENDED I18NLEVEL=1 CONDSTORE QRESYNC ESEARCH ESORT SEARCHRES WITHIN CONTEXT=SEARCH LIST-STATUS BINARY SPECIAL-USE
  }
}
EOF
}

# Cyrus: its own configuration, spool, users (SASL database) and sockets
# under <dir>/cyrus, run as Debian's cyrus user. IDLE is answered by looking
# at the mailbox every second (no idled), which a test can wait for.
write_cyrus_config() {
  local user
  mkdir -p "$cyrus_dir"/{config,spool,run,socket}
  cat >"$cyrus_config" <<EOF
# Private instance for VeskMail tests: IMAP and POP3 on loopback.
configdirectory: $cyrus_dir/config
defaultpartition: default
partition-default: $cyrus_dir/spool
proc_path: $cyrus_dir/run/proc
mboxname_lockpath: $cyrus_dir/run/lock
lmtpsocket: $cyrus_dir/socket/lmtp
idlesocket: $cyrus_dir/socket/idle
notifysocket: $cyrus_dir/socket/notify
syslog_prefix: vesk-cyrus
altnamespace: yes
unixhierarchysep: yes
allowplaintext: yes
sasl_pwcheck_method: auxprop
sasl_auxprop_plugin: sasldb
sasl_sasldb_path: $cyrus_dir/sasldb2
sasl_mech_list: PLAIN LOGIN
autocreate_post: 1
autocreate_quota: 0
imapidlepoll: 1
popminpoll: 0
lmtp_downcase_rcpt: yes
virtdomains: off
EOF
  cat >"$cyrus_dir/cyrus.conf" <<EOF
START {
  recover cmd="/usr/lib/cyrus/bin/ctl_cyrusdb -C $cyrus_config -r"
}
SERVICES {
  imap cmd="$cyrus_bin/imapd -C $cyrus_config" listen="127.0.0.1:$cyrus_imap_port" prefork=0
  pop3 cmd="$cyrus_bin/pop3d -C $cyrus_config" listen="127.0.0.1:$cyrus_pop3_port" prefork=0
  lmtpunix cmd="/usr/lib/cyrus/bin/lmtpd -C $cyrus_config" listen="$cyrus_dir/socket/lmtp" prefork=0
}
EVENTS {
  checkpoint cmd="/usr/lib/cyrus/bin/ctl_cyrusdb -C $cyrus_config -c" period=30
}
EOF
  rm -f "$cyrus_dir/sasldb2"
  for user in "$mail_user" $side_users; do
    printf '%s' "$mail_password" | /usr/sbin/saslpasswd2 -f "$cyrus_dir/sasldb2" -p -c "$user"
  done
  chown -R cyrus:mail "$cyrus_dir"
  chmod 751 "$cyrus_dir"
}

# The German-named Sent mailbox of each user (CREATE with a role, RFC 6154
# section 3); signing in creates the user's INBOX first.
make_cyrus_mailboxes() {
  python3 - "$cyrus_imap_port" "$mail_password" "$mail_user" $side_users <<'PY'
import imaplib, sys
port, password, users = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
for user in users:
    imap = imaplib.IMAP4("127.0.0.1", port)
    imap.login(user, password)
    listed = imap.list('""', '"Gesendete Objekte"')[1]
    if not [line for line in listed if line]:
        status, reply = imap._simple_command("CREATE", '"Gesendete Objekte"', "(USE (\\Sent))")
        if status != "OK":
            sys.exit("cannot make the Sent mailbox of %s: %r" % (user, reply))
    imap.logout()
PY
}

start_cyrus() {
  unpack_cyrus_servers
  write_cyrus_config
  /usr/lib/cyrus/bin/master -C "$cyrus_config" -M "$cyrus_dir/cyrus.conf" -p "$cyrus_dir/run/master.pid" -d \
    >>"$dir/cyrus-start.log" 2>&1 || die "cyrus did not start; see $dir/cyrus-start.log"
  wait_for cyrus_running || die "cyrus does not answer on 127.0.0.1:$cyrus_imap_port"
  # The LMTP socket is Postfix's way in.
  wait_for test -S "$cyrus_dir/socket/lmtp" || die "cyrus made no LMTP socket"
  chmod 666 "$cyrus_dir/socket/lmtp"
  chmod 751 "$cyrus_dir/socket"
  make_cyrus_mailboxes || die "cyrus mailboxes could not be made"
}

prepare_maildir() {
  local user
  for user in "$mail_user" $side_users; do mkdir -p "$mail_base/$user/Maildir"/{cur,new,tmp}; done
  chown -R mail:mail "$mail_base"
  chmod -R u+rwX,go-rwx "$mail_base"
}

wait_for() {  # command..., up to 10 s
  for _ in $(seq 100); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  return 1
}

start() {
  if postfix_running && dovecot_running && cyrus_running; then
    start_npm_server
    say "already running (SMTP $smtp_port, POP3 $pop3_port, IMAP $imap_port)"
    return 0
  fi
  if need_install; then install_packages; fi
  mkdir -p "$dir"
  make_certificates
  prepare_maildir
  if ! postfix_running; then
    write_postfix_config
    if pid_alive "$postfix_queue/pid/master.pid"; then
      # Running with an older configuration (fewer ports): it reads this one.
      /usr/sbin/postfix -c "$postfix_config" reload >>"$dir/postfix-start.log" 2>&1 ||
        die "postfix did not reload; see $dir/postfix-start.log and $postfix_log"
    else
      /usr/sbin/postfix -c "$postfix_config" start >>"$dir/postfix-start.log" 2>&1 ||
        die "postfix did not start; see $dir/postfix-start.log and $postfix_log"
    fi
    wait_for postfix_running || die "postfix does not answer on 127.0.0.1:$smtp_port"
  fi
  if ! dovecot_running; then
    write_dovecot_config
    /usr/sbin/dovecot -c "$dovecot_config" >>"$dir/dovecot-start.log" 2>&1 ||
      die "dovecot did not start; see $dir/dovecot-start.log and $dovecot_log"
    wait_for dovecot_running || die "dovecot does not answer on 127.0.0.1:$pop3_port/$imap_port"
  fi
  start_npm_server
  if ! cyrus_running; then start_cyrus; fi
  say "running: SMTP 127.0.0.1:$smtp_port (SMTPS $smtps_port), POP3 127.0.0.1:$pop3_port (POP3S $pop3s_port)," \
    "IMAP 127.0.0.1:$imap_port (IMAPS $imaps_port), Cyrus IMAP 127.0.0.1:$cyrus_imap_port (POP3 $cyrus_pop3_port)"
}

pid_gone() { ! kill -0 "$1" 2>/dev/null; }

npm_server_running() { pid_alive "$npm_dir/server.pid" && port_open "$smtp_npm_port"; }

start_npm_server() {
  npm_server_running && return 0
  command -v node >/dev/null && command -v npm >/dev/null || { say "no node/npm: the plain recording server is left out"; return 0; }
  mkdir -p "$npm_dir"
  if [[ ! -f $npm_dir/node_modules/smtp-server/package.json ]]; then
    (cd "$npm_dir" && npm install --no-audit --no-fund --silent smtp-server@3 >/dev/null 2>&1) ||
      { say "npm could not install smtp-server: the plain recording server is left out"; return 0; }
  fi
  : >"$npm_log"
  NODE_PATH="$npm_dir/node_modules" nohup node "$repo_root/tools/servers/recording_smtp_server.js" "$smtp_npm_port" "$npm_log" \
    >>"$npm_dir/server.log" 2>&1 &
  echo $! >"$npm_dir/server.pid"
  wait_for port_open "$smtp_npm_port" || say "the plain recording server does not answer on $smtp_npm_port"
}

stop_npm_server() {
  local pid
  pid_alive "$npm_dir/server.pid" || return 0
  pid=$(tr -dc 0-9 <"$npm_dir/server.pid")
  kill "$pid" 2>/dev/null || true
  wait_for pid_gone "$pid" || say "the plain recording server (pid $pid) did not stop"
  rm -f "$npm_dir/server.pid"
}

stop() {
  local pid children which=${1:-both}
  [[ $which == both || $which == postfix || $which == dovecot || $which == cyrus ]] ||
    die "usage: $0 stop [postfix|dovecot|cyrus]"
  if [[ $which == both || $which == cyrus ]] && pid_alive "$cyrus_dir/run/master.pid"; then
    pid=$(tr -dc 0-9 <"$cyrus_dir/run/master.pid")
    # The master takes its services down with it.
    kill "$pid" 2>/dev/null || true
    wait_for pid_gone "$pid" || say "cyrus (pid $pid) did not stop"
  fi
  if [[ $which == both || $which == dovecot ]] && pid_alive "$dovecot_dir/run/master.pid"; then
    pid=$(tr -dc 0-9 <"$dovecot_dir/run/master.pid")
    # Its session processes would linger for half a minute after the master:
    # they are stopped with it, as a server that goes away takes them along.
    children=$(pgrep -P "$pid" | tr '\n' ' ' || true)
    /usr/bin/doveadm -c "$dovecot_config" stop >/dev/null 2>&1 || kill "$pid" 2>/dev/null || true
    # shellcheck disable=SC2086
    [[ -z $children ]] || kill $children 2>/dev/null || true
    wait_for pid_gone "$pid" || say "dovecot (pid $pid) did not stop"
  fi
  if [[ $which == both ]]; then stop_npm_server; fi
  if [[ $which == both || $which == postfix ]] && pid_alive "$postfix_queue/pid/master.pid"; then
    pid=$(tr -dc 0-9 <"$postfix_queue/pid/master.pid")
    /usr/sbin/postfix -c "$postfix_config" stop >>"$dir/postfix-start.log" 2>&1 || true
    wait_for pid_gone "$pid" || say "postfix (pid $pid) did not stop"
  fi
  say "stopped ($which)"
}

status() {
  local rc=0
  if postfix_running; then say "postfix: running on 127.0.0.1:$smtp_port"; else say "postfix: stopped"; rc=1; fi
  if dovecot_running; then
    say "dovecot: running on 127.0.0.1:$pop3_port (POP3), 127.0.0.1:$imap_port (IMAP)"
  else
    say "dovecot: stopped"
    rc=1
  fi
  if cyrus_running; then
    say "cyrus: running on 127.0.0.1:$cyrus_imap_port (IMAP), 127.0.0.1:$cyrus_pop3_port (POP3)"
  else
    say "cyrus: stopped"
    rc=1
  fi
  return $rc
}

print_env() {
  cat <<EOF
VESK_SMTP_PORT=$smtp_port
VESK_POP3_PORT=$pop3_port
VESK_IMAP_PORT=$imap_port
VESK_SMTPS_PORT=$smtps_port
VESK_POP3S_PORT=$pop3s_port
VESK_IMAPS_PORT=$imaps_port
VESK_SUBMISSION_PORT=$submission_port
VESK_SUBMISSIONS_PORT=$submissions_port
VESK_SMTP_SMALL_PORT=$smtp_small_port
VESK_SMTP_ASCII_PORT=$smtp_ascii_port
VESK_SMTP_PLAIN_PORT=$smtp_plain_port
VESK_SMTP_NPM_PORT=$smtp_npm_port
VESK_SMTP_NPM_LOG=$npm_log
VESK_TLS_DIR=$tls_dir
VESK_MAIL_USER=$mail_user
VESK_MAIL_PASSWORD=$mail_password
VESK_ACCESS_TOKEN=$(cat "$dovecot_dir/oauth2/token" 2>/dev/null)
VESK_OAUTH2_SIGNING_KEY=$oauth2_signing_key
VESK_OAUTH2_KEY_ID=$oauth2_key_id
VESK_MAIL_ADDRESS=$mail_address
VESK_MAILDIR=$maildir
VESK_IMAP_NO_MOVE_HOST=127.0.0.4
VESK_CYRUS_IMAP_PORT=$cyrus_imap_port
VESK_CYRUS_POP3_PORT=$cyrus_pop3_port
VESK_CYRUS_MAIL_ADDRESS=$mail_user@$cyrus_domain
EOF
}

case "${1:-}" in
  start) start ;;
  stop) stop "${2:-both}" ;;
  status) status ;;
  env) print_env ;;
  *) die "usage: $0 start|stop [postfix|dovecot|cyrus]|status|env" ;;
esac
