# shellcheck shell=bash
# Shared by scripts/demo and scripts/screenshots: private X and print servers that
# the calling script stops on exit (stop_private_servers), and a sample PDF.
# The caller sets VANDREL_ROOT to the source tree.

# Starts a private X server on a free display and exports DISPLAY.
start_private_x() {
  local fifo number
  fifo=$(mktemp -u /tmp/vandrel-x.XXXXXX)
  mkfifo "$fifo"
  Xvfb -displayfd 9 -noreset -screen 0 1280x1024x24 -nolisten tcp 9>"$fifo" >/dev/null 2>&1 &
  VANDREL_XVFB_PID=$!
  read -r number <"$fifo"
  rm -f "$fifo"
  export DISPLAY=":$number"
}

# Starts the private print server in folder $1, its printer writing to file $2,
# and exports CUPS_SERVER.
start_private_cups() {
  VANDREL_CUPS_DIR=$1
  CUPS_SERVER=$("$VANDREL_ROOT/scripts/print-server" start "$1" "$2")
  export CUPS_SERVER
}

stop_private_servers() {
  if [ -n "${VANDREL_CUPS_DIR:-}" ]; then "$VANDREL_ROOT/scripts/print-server" stop "$VANDREL_CUPS_DIR"; fi
  if [ -n "${VANDREL_XVFB_PID:-}" ]; then kill "$VANDREL_XVFB_PID" 2>/dev/null || true; fi
}

# Writes a small, valid one-page PDF saying $2 to file $1.
write_sample_pdf() {
  local LC_ALL=C
  local text=${2:-Hello from the vandrel demo}
  local stream="BT /F1 24 Tf 72 720 Td ($text) Tj ET"
  local objs=(
    "<< /Type /Catalog /Pages 2 0 R >>"
    "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"
    "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >>"
    $'<< /Length '"${#stream}"$' >>\nstream\n'"$stream"$'\nendstream'
    "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"
  )
  local pdf=$'%PDF-1.4\n' xref i
  local offsets=()
  for i in "${!objs[@]}"; do
    offsets+=("${#pdf}")
    pdf+="$((i + 1)) 0 obj"$'\n'"${objs[$i]}"$'\nendobj\n'
  done
  xref=${#pdf}
  pdf+="xref"$'\n'"0 $((${#objs[@]} + 1))"$'\n'"0000000000 65535 f "$'\n'
  for i in "${offsets[@]}"; do pdf+="$(printf '%010d' "$i") 00000 n "$'\n'; done
  pdf+="trailer"$'\n'"<< /Size $((${#objs[@]} + 1)) /Root 1 0 R >>"$'\n'"startxref"$'\n'"$xref"$'\n'"%%EOF"$'\n'
  printf '%s' "$pdf" >"$1"
}
