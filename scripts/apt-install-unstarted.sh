# Sourced by the install scripts: apt_install_unstarted PACKAGE... installs
# Debian packages without starting the servers some of them bring (nginx,
# Prometheus): a policy that refuses every service start is in place while
# apt-get runs, and removed again unless it was there before.
apt_install_unstarted() {
  local policy=/usr/sbin/policy-rc.d own_policy=
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    own_policy=yes
  fi
  apt-get update -qq
  local status=0
  apt-get install -y -qq --no-install-recommends "$@" >/dev/null || status=$?
  [ -z "$own_policy" ] || rm -f "$policy"
  return "$status"
}

# The package also enables its server for every boot; these tools never need it.
disable_at_boot() {
  systemctl disable --quiet "$1.service" 2>/dev/null || update-rc.d "$1" disable >/dev/null
}
