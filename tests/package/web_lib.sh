# The package tests' requests to the web server; sourced by a script that
# defines pass, fail and $work.
readonly base=http://127.0.0.1
readonly sign_in_form='<INPUT TYPE="HIDDEN" NAME="COMMAND" VALUE="LOGIN">'

# request WHAT EXPECTED_STATUS CURL_ARGUMENTS...: the body lands in
# $work/body, the headers in $work/headers.
request() {
  local status
  status=$(curl -s -o "$work/body" -D "$work/headers" -w '%{http_code}' "${@:3}")
  [[ $status == "$2" ]] && pass "$1: $status" || fail "$1: $status, expected $2"
}

# sign_in NAME:PASSWORD [PROGRAM_PATH [EXPECTED_STATUS]]: the program's own
# sign-in form; the session's cookie goes with every request through
# "${signed_in[@]}" and its form token, $token, with every POST. A program
# without the form (1.6.0, which answers 401) gets Basic credentials instead.
sign_in() {
  local path=${2:-/orvanta/orvanta.cgi} status
  rm -f "$work/jar"
  status=$(curl -s -o "$work/body" -w '%{http_code}' -c "$work/jar" -H "Origin: $base" \
    --data COMMAND=LOGIN --data-urlencode "OPERATOR=${1%%:*}" --data-urlencode "PASSWORD=${1#*:}" \
    "$base$path")
  if [[ $status == 401 && -z ${3:-} ]]; then
    signed_in=(-u "$1")
    token=
    return
  fi
  [[ $status == "${3:-303}" ]] && pass "sign-in at $path: $status" ||
    fail "sign-in at $path: $status, expected ${3:-303}"
  signed_in=(-b "$work/jar")
  token=$(curl -s -b "$work/jar" "$base$path?COMMAND=MENU" |
    sed -n 's/.*NAME="TOKEN" VALUE="\([0-9a-f]*\)".*/\1/p' | head -n 1)
}

expect_sign_in_page() {
  grep -qF "$sign_in_form" "$work/body" || fail "$1 is not the sign-in page"
}

# give_code CODE [EXPECTED_STATUS]: the second factor after sign_in's
# password, in the session the password began; the new session's cookie
# goes to the jar.
give_code() {
  request "a code after the password" "${2:-303}" -b "$work/jar" -c "$work/jar" \
    -H "Origin: $base" --data COMMAND=LOGIN --data-urlencode "CODE=$1" "$base/orvanta/orvanta.cgi"
}
