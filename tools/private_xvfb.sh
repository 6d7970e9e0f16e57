# Sourced by the scripts that need a screen: starts an Xvfb server of our own
# on a free display number, points DISPLAY at it and stops it on exit.
# Mesa's software renderer draws the same pixels on every run.
start_private_xvfb() {
    local display_file log
    display_file=$(mktemp)
    log=$(mktemp)
    # -noreset: the server must not restart between two clients.
    Xvfb -displayfd 3 -screen 0 2048x1536x24 -nolisten tcp -noreset 3>"$display_file" 2>"$log" &
    XVFB_PID=$!
    trap stop_private_xvfb EXIT
    # Until it names its display, for at most 10 s, or until it dies.
    for _ in $(seq 100); do
        [ -s "$display_file" ] && break
        kill -0 "$XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    if [ ! -s "$display_file" ]; then
        echo "Xvfb did not start:" >&2
        cat "$log" >&2
        rm -f "$display_file" "$log"
        return 1
    fi
    export DISPLAY=":$(cat "$display_file")"
    rm -f "$display_file" "$log"
}

stop_private_xvfb() {
    kill "$XVFB_PID" 2>/dev/null
    wait "$XVFB_PID" 2>/dev/null
}
