/* The whole public interface compiles as C and its records keep their layout. */
#include <kavri.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    kavri_param_item_t items[2];
    memset(items, 0, sizeof items);
    if ((const char *)&items[1] - (const char *)&items[0] != 24) return 1;
    if (strcmp(kavri_error_name(KAVRI_ERR_CAP_STALL), "KAVRI_ERR_CAP_STALL") != 0) return 2;
    printf("c header ok\n");
    return 0;
}
