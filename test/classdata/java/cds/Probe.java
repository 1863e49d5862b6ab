package cds;

import java.util.ArrayList;
import java.util.List;
import java.util.regex.Pattern;
import java.util.stream.Collectors;

// An application for the class-data tests: loads some classes of its own and of the runtime,
// then prints its arguments and the command line the runtime says it was given.
public class Probe {
    record Word(String text) {}

    public static void main(String[] args) {
        List<Word> words = new ArrayList<>();
        for (String arg : args) {
            words.add(new Word(arg));
        }
        String joined = words.stream().map(Word::text).collect(Collectors.joining("|"));
        boolean digits = Pattern.compile("\\d+").matcher(joined).find();
        System.out.println("args=" + joined + " digits=" + digits);
        System.out.println("command=" + System.getProperty("sun.java.command"));
    }
}
