// The probe is a modular jar too, so that it also runs from a module path (--module).
module realprobe {
    requires java.desktop;
}
