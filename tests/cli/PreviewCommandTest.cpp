// Tests of lumo preview and lumo thumb: filled in with the commands.
