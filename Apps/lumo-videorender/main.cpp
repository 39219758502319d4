// lumo-videorender: renders one frame of a movie into a file for the image engine.
int main() {
    return 1;
}
