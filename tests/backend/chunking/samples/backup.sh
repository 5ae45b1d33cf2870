#!/usr/bin/env bash
set -euo pipefail
source ./lib/common.sh
. "$HOME/.config/backup.conf"

BACKUP_DIR=${BACKUP_DIR:-/var/backups}

# Copies one folder into the backup area.
backup_folder() {
  local src=$1 name
  name=$(basename "$src")
  tar -czf "$BACKUP_DIR/$name.tgz" "$src"
  log_info "saved $name"
}

function prune {
  find "$BACKUP_DIR" -mtime +30 -delete
}

for dir in "$@"; do
  backup_folder "$dir"
done
prune
