#!/usr/bin/env bash
# The tests' Samba settings: one share, "music", for guests, acting as root on the
# server's side, on loopback only, with every file Samba keeps in STATE.
#   bash scripts/smbconf.sh STATE SHARE >smb.conf
set -euo pipefail
cat <<CONF
[global]
  interfaces = lo
  bind interfaces only = yes
  smb ports = 445
  disable netbios = yes
  server role = standalone server
  map to guest = bad user
  guest account = root
  unix extensions = no
  pid directory = $1
  lock directory = $1
  state directory = $1
  cache directory = $1
  private dir = $1
  ncalrpc dir = $1
  log file = $1/log.%m
[music]
  path = $2
  read only = no
  guest ok = yes
  guest only = yes
  force user = root
CONF
