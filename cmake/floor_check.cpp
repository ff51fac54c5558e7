// Links one floor whole over the floors below it: a call from the floor to a floor above
// it has no definition here, and the link fails.
int main() { return 0; }
