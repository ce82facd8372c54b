// trailnetd entry point: the start sequence and the main loop live in core/.
int trailnetdMain();

int main() { return trailnetdMain(); }
