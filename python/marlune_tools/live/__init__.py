"""Live analysis: `marlune live` listens to an input (a device, or a file replayed at its own
speed) and shows the notes as they sound, in the terminal or in a browser."""
