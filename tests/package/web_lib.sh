# The package tests' requests to the web server; sourced by a script that
# defines pass, fail and $work.
readonly base=http://127.0.0.1

# The operator's sign-in, in this one place: today the program's HTTP Basic
# login, sent with every request (the curl arguments set here).
sign_in() { signed_in=(-u "$1"); }

# request WHAT EXPECTED_STATUS CURL_ARGUMENTS...: the body lands in
# $work/body, the headers in $work/headers.
request() {
  local status
  status=$(curl -s -o "$work/body" -D "$work/headers" -w '%{http_code}' "${@:3}")
  [[ $status == "$2" ]] && pass "$1: $status" || fail "$1: $status, expected $2"
}
