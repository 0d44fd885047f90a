.pragma library

// Fills %1, %2, … in one pass: a chained arg() would take a "%2" inside the
// first value, a player's, a build's or a file's name, for the second placeholder.
function fill(text, ...values) {
    return text.replace(/%(\d+)/g, (placeholder, number) => number >= 1
                        && number <= values.length ? String(values[number - 1]) : placeholder);
}
