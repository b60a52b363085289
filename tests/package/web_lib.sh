# What the package tests do through the web server, as a browser would.
# Sourced; the caller defines pass and fail, and $work.
readonly base=http://127.0.0.1

# The operator's sign-in, kept in this one place: today the program's own
# HTTP Basic login against its operators file, sent with every request.
# Sets the curl arguments that the operator's later requests carry.
sign_in() {
  signed_in=(-u "$1")
}

# request WHAT EXPECTED_STATUS CURL_ARGUMENTS...: the body lands in
# $work/body, the headers in $work/headers.
request() {
  local what=$1 expected=$2
  shift 2
  local status
  status=$(curl -s -o "$work/body" -D "$work/headers" -w '%{http_code}' "$@")
  if [[ $status == "$expected" ]]; then
    pass "$what: $status"
  else
    fail "$what: $status, expected $expected"
  fi
}
