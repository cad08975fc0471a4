// The empty program: what starting and ending a process costs on its own.
int main() {
    return 0;
}
