// Markdown on stdin, HTML on stdout; "--tables-strike" turns on pipe tables and
// strikethrough, as the manual is rendered.
use pulldown_cmark::{html, Options, Parser};
use std::io::Read;

fn main() {
    let extended = std::env::args().nth(1).as_deref() == Some("--tables-strike");
    let mut input = String::new();
    std::io::stdin().read_to_string(&mut input).expect("stdin");
    let mut opts = Options::empty();
    if extended {
        opts.insert(Options::ENABLE_TABLES);
        opts.insert(Options::ENABLE_STRIKETHROUGH);
    }
    let mut out = String::new();
    html::push_html(&mut out, Parser::new_ext(&input, opts));
    print!("{}", out);
}
