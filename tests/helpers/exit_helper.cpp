// The smallest program that runs and succeeds: statically linked, so that starting it opens no
// file (tests that exec it thousands of times measure the exec, not the loader).
int main() {
    return 0;
}
