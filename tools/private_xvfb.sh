# Sourced by the scripts that need a screen: starts an Xvfb server of our own
# on a free display number, points DISPLAY at it and stops it on exit.
# Mesa's software renderer draws the same pixels on every run.
start_private_xvfb() {
    local display_file
    display_file=$(mktemp)
    # -noreset: the server must not restart between two clients.
    Xvfb -displayfd 3 -screen 0 2048x1536x24 -nolisten tcp -noreset 3>"$display_file" 2>/dev/null &
    XVFB_PID=$!
    trap 'kill "$XVFB_PID" 2>/dev/null; wait "$XVFB_PID" 2>/dev/null' EXIT
    for _ in $(seq 100); do
        [ -s "$display_file" ] && break
        sleep 0.1
    done
    if [ ! -s "$display_file" ]; then
        rm -f "$display_file"
        echo "Xvfb did not start" >&2
        return 1
    fi
    export DISPLAY=":$(cat "$display_file")"
    rm -f "$display_file"
}
