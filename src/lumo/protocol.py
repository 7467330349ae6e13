"""Message tags: element 0 of every request tuple is REQUEST, of every response tuple RESPONSE.
Small ints (one pickle opcode byte each), deliberately not 0/1, which equal False/True."""

REQUEST = 2
RESPONSE = 3
